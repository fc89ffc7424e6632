// test_srv_startup: being written
#include <gtest/gtest.h>
