// test_srv_setpoints_readings: being written
#include <gtest/gtest.h>
