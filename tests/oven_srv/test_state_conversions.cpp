// test_state_conversions: being written
#include <gtest/gtest.h>
