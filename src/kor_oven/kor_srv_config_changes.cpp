// kor_srv_config_changes: being written
