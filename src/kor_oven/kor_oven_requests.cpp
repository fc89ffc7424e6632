// kor_oven_requests: being written
