// kor_srv_faults: being written
