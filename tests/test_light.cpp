#include <gtest/gtest.h>

#include "intinfo.h"
#include "light.h"
#include "support.h"

TEST(PointLight, AlwaysALightNeverHitSampledWithoutDrawing)
{
    PointLight light;
    EXPECT_EQ(light.position.x, 0.0);
    EXPECT_TRUE(light.is_light()); // even with ke = (0, 0, 0)
    light.get_material()->ke = Vector3(-1, -1, -1);
    EXPECT_TRUE(light.is_light());

    light.position = Vector3(-4, 0.5, 7);
    light.calc_bbox();
    for (const Vector3 &corner : {light.get_bbox().min, light.get_bbox().max}) {
        EXPECT_TRUE(corner.x == -4.0 && corner.y == 0.5 && corner.z == 7.0);
    }

    IntInfo rec;
    rec.t = -7.0;
    Ray through{Vector3(-4, 0.5, 0), Vector3(0, 0, 10)};
    EXPECT_FALSE(light.intersection(through, &rec));
    EXPECT_FALSE(light.intersection(through, nullptr));
    EXPECT_EQ(rec.t, -7.0);

    Vector3 a, b;
    EXPECT_EQ(count_draws([&] {
                  a = light.sample();
                  b = light.sample();
              }),
              0);
    for (const Vector3 &p : {a, b}) {
        EXPECT_TRUE(p.x == -4.0 && p.y == 0.5 && p.z == 7.0);
    }
}
