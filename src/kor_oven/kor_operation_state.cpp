// kor_operation_state: being written
