#include <gtest/gtest.h>

#include "vector.h"

TEST(Vector, Placeholder)
{
    EXPECT_EQ(dot(Vector3(1, 2, 3), Vector3(4, 5, 6)), 32.0);
}
