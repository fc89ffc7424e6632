// kor_srv_setpoints: being written
