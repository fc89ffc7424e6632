// kor_oven_control: being written
