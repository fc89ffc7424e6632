// kor_srv_timers: being written
