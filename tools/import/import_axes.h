// Which way is up in a model, and the turn that stands it up in rt, whose
// up is +y.
#ifndef RT_IMPORT_AXES_H
#define RT_IMPORT_AXES_H

#include <assimp/scene.h>

#include <string>

#include "import_common.h"

struct UpAxis {
    int axis = 1; // 0 x, 1 y, 2 z, in the model's own frame
    int sign = 1;
    std::string why; // where the choice of another axis than +y came from, for the note
};

// Reads "x", "y", "z", "-x", "-y" or "-z" (a leading + allowed); false for
// anything else.
bool parse_up_axis(const std::string &text, UpAxis *up);

// "+z", "-x" ...
std::string axis_name(const UpAxis &up);

// The model's up axis: what the file says (FBX), else its format's
// convention (Blender, STL and the other formats of tools with +z up, when
// assimp leaves their frame as it is), else +y.
UpAxis model_up_axis(const aiScene *scene, const std::string &model);

// The axis of the model's world, as its reader gives it, that an axis of
// the file's own frame (as -up names one) is. Readers of z-up formats
// (COLLADA's and 3DS's, ASE, Quake's) stand the model on +y with a quarter
// turn of the root node, and the DirectX reader mirrors the file's
// left-handed frame in z.
UpAxis world_axis(const UpAxis &file_axis, const aiScene *scene, const std::string &model);

// The rotation that takes up to +y: a quarter or a half turn, which keeps
// the model right-handed; a +z-up model's front (-y) comes to face +z, as a
// +y-up model's does.
Matrix4 up_turn(const UpAxis &up);

#endif
