// A model's cameras and lights as rt's camera and point lights.
#ifndef RT_IMPORT_CAMERA_LIGHTS_H
#define RT_IMPORT_CAMERA_LIGHTS_H

#include <assimp/scene.h>

#include <string>
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

struct NamedCamera {
    std::string name;
    RtCamera camera;
};

// The cameras of the model that rt can show, in rt's frame, in the model's
// order. Every camera passed over gets a note on standard error.
std::vector<NamedCamera> model_cameras(const aiScene *scene, const Box &box, const CameraReading &reading);

// The model's lights as point lights in rt's frame, by the rule given with
// the definition. Lights that rt cannot show are left out with a note.
std::vector<RtLight> model_lights(const aiScene *scene, const Box &box);

#endif
