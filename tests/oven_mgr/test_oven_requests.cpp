// test_oven_requests: being written
#include <gtest/gtest.h>
