// test_oven_control: being written
#include <gtest/gtest.h>
