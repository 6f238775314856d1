#ifndef RT_LIGHT_H
#define RT_LIGHT_H

#include "object.h"

// A light without extent: its colour is the material's ke. Rays never hit it.
class PointLight : public Object
{
  public:
    PointLight() {}

    bool intersection(const Ray &ray, IntInfo *i_info) const override;
    bool is_light() const override;
    void calc_bbox() override;
    Vector3 sample() const override;

    Vector3 position;
};

#endif
