// test_srv_faults_config: being written
#include <gtest/gtest.h>
