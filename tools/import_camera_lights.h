// The camera and lights of a scene for rt.
#ifndef RT_IMPORT_CAMERA_LIGHTS_H
#define RT_IMPORT_CAMERA_LIGHTS_H

#include "import_common.h"
#include "import_geometry.h"

struct RtCamera {
    Vec position, target;
    double fov = 45.0; // degrees, across and up a square picture
};

struct RtLight {
    Vec position;
    Vec colour;
};

// A camera in front of the model (on its -z side in rt's frame, which is
// the front of a right-handed model) and a little above, looking at the
// middle of box, as far away as lets the sphere around the box fill the
// picture.
RtCamera framing_camera(const Box &box);

#endif
