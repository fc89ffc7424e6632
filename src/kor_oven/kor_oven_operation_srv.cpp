// kor_oven_operation_srv: being written
