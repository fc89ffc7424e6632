// kor_oven_modes: being written
