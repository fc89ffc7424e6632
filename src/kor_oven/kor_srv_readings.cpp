// kor_srv_readings: being written
