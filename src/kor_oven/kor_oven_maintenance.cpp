// kor_oven_maintenance: being written
