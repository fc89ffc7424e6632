// kor_oven_conversions: being written
