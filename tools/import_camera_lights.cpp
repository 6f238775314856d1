#include "import_camera_lights.h"

namespace
{

const double kPi = 3.141592653589793;

} // namespace

RtCamera framing_camera(const Box &box)
{
    RtCamera cam;
    // From the front and a little above, as the plain mode's manual places
    // the camera for a model fitted into the unit box.
    Vec back(0.0, 0.8, -2.2);
    back /= back.Length();
    // rt's camera builds its right and up vectors from +y without making
    // them unit length: they shrink by the sine of the angle between the view
    // and +y, which narrows the view of a camera that looks down.
    double half = std::atan(std::sqrt(back.x * back.x + back.z * back.z) * std::tan(cam.fov * kPi / 360.0));
    cam.target = box.centre();
    cam.position = cam.target + back * (box.radius() / std::sin(half));
    return cam;
}
