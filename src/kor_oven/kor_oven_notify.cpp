// kor_oven_notify: being written
