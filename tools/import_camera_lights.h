// A model's cameras and lights as rt's camera and point lights.
#ifndef RT_IMPORT_CAMERA_LIGHTS_H
#define RT_IMPORT_CAMERA_LIGHTS_H

#include <assimp/scene.h>

#include <vector>

#include "import_common.h"
#include "import_geometry.h"

struct RtCamera {
    Vec position, target;
    double fov = 45.0;   // degrees, across and up a square picture
    double aspect = 1.0; // width / height of the frame the model's camera shows
};

struct RtLight {
    Vec position;
    Vec colour;
};

// What is known of how assimp reads the model's cameras.
struct CameraReading {
    // glTF: a camera sits at the origin of its node, looking along -z with +y
    // up; assimp 5.2 also adds the node's translation to its position.
    bool at_node_origin = false;
    // The horizontal angle is the vertical one times the aspect ratio, not
    // the full horizontal angle.
    bool vertical_times_aspect = false;
};

// A camera in front of the model (on its -z side in rt's frame, which is
// the front of a right-handed model) and a little above, looking at the
// middle of box, as far away as lets the sphere around the box fill the
// picture.
RtCamera framing_camera(const Box &box);

// The first camera of the model that rt can show, in rt's frame; false when
// there is none. Every camera passed over gets a note on standard error.
bool model_camera(const aiScene *scene, const Box &box, const CameraReading &reading, RtCamera *camera);

// The model's lights as point lights in rt's frame, by the rule given with
// the definition. Lights that rt cannot show are left out with a note.
std::vector<RtLight> model_lights(const aiScene *scene, const Box &box);

#endif
