#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ray.h"
#include "support.h"
#include "vector.h"

namespace
{

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

} // namespace

TEST(Vector, StrictComparisonsAreNotAnOrdering)
{
    Ray ray;
    expect_same(ray.origin, Vector3(0, 0, 0));
    expect_same(ray.dir, Vector3(0, 0, 0));
    struct Case {
        Vector3 a, b;
        bool less, greater;
    } cases[] = {
        {{0, 0, 0}, {1, 1, 1}, true, false},
        {{1, 1, 1}, {0, 0, 0}, false, true},
        {{0, 0, 0}, {1, 0, 1}, false, false}, // equal y fails both
        {{1, 0, 1}, {0, 0, 0}, false, false},
        {{0, 2, 0}, {1, 1, 1}, false, false},
        {{not_a_number, 0, 0}, {1, 1, 1}, false, false},
        {{2, 2, 2}, {1, 1, not_a_number}, false, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.a < c.b, c.less) << c.a.x << " " << c.a.y << " " << c.a.z;
        EXPECT_EQ(c.a > c.b, c.greater) << c.a.x << " " << c.a.y << " " << c.a.z;
    }
}

TEST(Vector, KnownAnswersInTheWrittenOrder)
{
    expect_same(Vector3(1, 2, 3) * Vector3(4, 5, 6), Vector3(4, 10, 18));
    expect_same(2.0 * Vector3(1, 2, 3), Vector3(2, 4, 6));
    expect_same(cross(Vector3(1, 0, 0), Vector3(0, 1, 0)), Vector3(0, 0, 1));
    expect_same(cross(Vector3(1, 2, 3), Vector3(4, 5, 6)), Vector3(-3, 6, -3));
    EXPECT_EQ(length(Vector3(3, 4, 12)), 13.0);
    // (1 + 2^53) rounds back to 2^53: the x and y terms are summed first.
    const double big = 9007199254740992.0;
    EXPECT_EQ(dot(Vector3(1, big, -big), Vector3(1, 1, 1)), 0.0);
    // Three divisions: 3 / 10 is 0.3, while 3 * (1 / 10) is 0.30000000000000004.
    expect_same(Vector3(3, 3, 3) / 10.0, Vector3(0.3, 0.3, 0.3));
    expect_same(normalize(Vector3(3, 0, 4)), Vector3(0.6, 0, 0.8));
}

TEST(Vector, ZeroAndNonFiniteFollowIeee)
{
    Vector3 q = Vector3(1, -1, 0) / 0.0;
    EXPECT_EQ(q.x, std::numeric_limits<double>::infinity());
    EXPECT_EQ(q.y, -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(q.z));

    Vector3 n = normalize(Vector3(0, 0, 0));
    EXPECT_TRUE(std::isnan(n.x) && std::isnan(n.y) && std::isnan(n.z));

    Vector3 neg = -Vector3(0, 0, 0);
    EXPECT_TRUE(std::signbit(neg.x) && std::signbit(neg.y) && std::signbit(neg.z));
    EXPECT_FALSE(std::signbit((-Vector3(-0.0, 1, 2)).x));
}

TEST(Vector, Reflect)
{
    struct Case {
        Vector3 v, n, want;
    } cases[] = {
        {{1, 1, 0}, {0, 1, 0}, {-1, 1, 0}},         {{0, 3, 0}, {0, 1, 0}, {0, 3, 0}},   // parallel: unchanged
        {{2, 0, -1}, {0, 1, 0}, {-2, 0, 1}},                                             // perpendicular: negated
        {{0.6, 0.8, 0}, {0, 1, 0}, {-0.6, 0.8, 0}}, {{1, 0, 0}, {0, 0, -1}, {-1, 0, 0}}, // n is not turned towards v
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.v.x << " " << c.v.y << " " << c.v.z);
        expect_same(reflect(c.v, c.n), c.want);
    }
}

TEST(Vector, PlusAssignAndPrintv)
{
    Vector3 a(1, 2, 3);
    const Vector3 &r = (a += Vector3(1, 1, 1));
    EXPECT_EQ(&r, &a);
    expect_same((a += Vector3(1, 1, 1)) + Vector3(10, 10, 10), Vector3(13, 14, 15));

    testing::internal::CaptureStdout();
    Vector3(1, 2.5, -3).printv();
    (-Vector3(0, 0, 0)).printv();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1.000000\t2.500000\t-3.000000\n"
                                                      "-0.000000\t-0.000000\t-0.000000\n");
}
