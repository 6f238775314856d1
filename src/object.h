#ifndef RT_OBJECT_H
#define RT_OBJECT_H

#include "bbox.h"
#include "color.h"
#include "intinfo.h"
#include "ray.h"

struct Material {
    Color kd;             // diffuse reflectance
    Color ks;             // specular reflectance
    Color ke;             // emitted radiance: any positive channel makes a light
    double specexp = 0.0; // Phong exponent
    double kr = 0.0;      // reflection coefficient; read from files, unused in shading
};

// Everything a ray can hit, and every light.
//
// The intersection contract: a hit counts only for 1e-6 <= t <= 1.0; an
// ignored object never reports a hit; a null record asks yes or no; a hit
// overwrites the whole record (object = this); a miss leaves it untouched.
class Object
{
  public:
    Object() {}
    virtual ~Object() {}
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    virtual bool intersection(const Ray &ray, IntInfo *i_info) const = 0;
    virtual bool is_light() const;
    virtual void calc_bbox() = 0;
    // The point that stands for the object as a light: a shadow ray's target.
    virtual Vector3 sample() const = 0;

    Material *get_material() { return &material; }
    const Material *get_material() const { return &material; }
    const BBox &get_bbox() const { return bbox; }

    bool ignore = false;

  protected:
    Material material;
    BBox bbox;
};

#endif
