#include "camera.h"

#include <cmath>

Camera::Camera() : position(0.0, 0.0, 0.0), target(0.0, 0.0, 1.0), fov(0.7853981633974483)
{
    calc_frame();
}

Camera::Camera(const Vector3 &position, const Vector3 &target)
    : position(position), target(target), fov(0.7853981633974483)
{
    calc_frame();
}

void Camera::set_position(const Vector3 &new_position)
{
    position = new_position;
    calc_frame();
}

void Camera::set_target(const Vector3 &new_target)
{
    target = new_target;
    calc_frame();
}

void Camera::set_fov(double new_fov)
{
    fov = new_fov;
    calc_frame();
}

void Camera::calc_frame()
{
    focal = 1.0 / std::tan(0.5 * fov);

    // i and j are left unnormalised: looking up or down narrows the view,
    // and straight up or down every ray runs along the view direction.
    Vector3 up(0.0, 1.0, 0.0);
    Vector3 d = normalize(target - position);
    Vector3 i = cross(up, d);
    Vector3 j = cross(d, i);
    const Vector3 &k = d;

    frame = Matrix4x4();
    frame.matrix[0][0] = i.x;
    frame.matrix[1][0] = i.y;
    frame.matrix[2][0] = i.z;
    frame.matrix[0][1] = j.x;
    frame.matrix[1][1] = j.y;
    frame.matrix[2][1] = j.z;
    frame.matrix[0][2] = k.x;
    frame.matrix[1][2] = k.y;
    frame.matrix[2][2] = k.z;
}

Ray Camera::get_primary_ray(double x, double y) const
{
    Vector3 dir(x, y, focal);
    dir.transform(frame);

    Ray ray;
    ray.origin = position;
    ray.dir = dir * 10000.0;
    return ray;
}
