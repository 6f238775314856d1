#ifndef RT_CAMERA_H
#define RT_CAMERA_H

#include "matrix.h"
#include "ray.h"
#include "vector.h"

// A pinhole camera: an eye point, a point it looks at, a full opening angle.
class Camera
{
  public:
    Camera();
    Camera(const Vector3 &position, const Vector3 &target);

    void set_position(const Vector3 &position);
    void set_target(const Vector3 &target);
    void set_fov(double fov); // radians

    // The ray through image-plane point (x, y), both in -1 .. 1, y up.
    // Its dir is not normalised: it carries the ray's reach of 10000.
    Ray get_primary_ray(double x, double y) const;

  private:
    void calc_frame();

    Vector3 position;
    Vector3 target;
    double fov;

    // Derived from the fields above whenever they change; the same values
    // every call would otherwise compute anew.
    Matrix4x4 frame;
    double focal;
};

#endif
