#include "import_axes.h"

namespace
{

// Formats whose tools keep +z up, and whose readers in assimp do not turn
// them: the extension and the format's name for the note.
const struct {
    const char *ext;
    const char *format;
} kZUpFormats[] = {
    {".blend", "Blender"}, {".stl", "STL"},       {".3mf", "3MF"},         {".amf", "AMF"},
    {".q3o", "Quick3D"},   {".q3s", "Quick3D"},   {".smd", "Valve SMD"},   {".vta", "Valve SMD"},
    {".cob", "trueSpace"}, {".scn", "trueSpace"}, {".hmp", "HMP terrain"}, {".ter", "Terragen"},
};

} // namespace

bool parse_up_axis(const std::string &text, UpAxis *up)
{
    std::string rest = text;
    int sign = 1;
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
        sign = rest[0] == '-' ? -1 : 1;
        rest.erase(0, 1);
    }
    if (rest.size() != 1 || rest[0] < 'x' || rest[0] > 'z') {
        return false;
    }
    up->axis = rest[0] - 'x';
    up->sign = sign;
    return true;
}

std::string axis_name(const UpAxis &up)
{
    return std::string(up.sign < 0 ? "-" : "+") + static_cast<char>('x' + up.axis);
}

UpAxis model_up_axis(const aiScene *scene, const std::string &model)
{
    UpAxis up;
    int axis, sign;
    if (scene->mMetaData != nullptr && scene->mMetaData->Get("UpAxis", axis) &&
        scene->mMetaData->Get("UpAxisSign", sign) && axis >= 0 && axis <= 2 && (sign == 1 || sign == -1)) {
        up.axis = axis;
        up.sign = sign;
        up.why = "as the file says";
        return up;
    }
    std::string ext = model_extension(model);
    for (const auto &z_up : kZUpFormats) {
        if (ext == z_up.ext) {
            up.axis = 2;
            up.why = std::string("the ") + z_up.format + " format's convention";
            return up;
        }
    }
    return up;
}

UpAxis world_axis(const UpAxis &file_axis, const aiScene *scene, const std::string &model)
{
    double along[3] = {0.0, 0.0, 0.0};
    along[file_axis.axis] = file_axis.sign;
    Vec v(along[0], along[1], along[2]);
    if (model_extension(model) == ".x") {
        v.z = -v.z;
    }
    // The readers' turn takes (x, y, z) to (x, z, -y); COLLADA's reader
    // scales it by the file's unit.
    Matrix4 root(scene->mRootNode->mTransformation);
    double unit = root.a1;
    if (unit > 0.0 && root == Matrix4(unit, 0, 0, 0, 0, 0, unit, 0, 0, -unit, 0, 0, 0, 0, 0, 1)) {
        v = Vec(v.x, v.z, -v.y);
    }
    UpAxis up = file_axis;
    up.axis = v.x != 0.0 ? 0 : v.y != 0.0 ? 1 : 2;
    up.sign = v.x + v.y + v.z > 0.0 ? 1 : -1;
    return up;
}

Matrix4 up_turn(const UpAxis &up)
{
    double s = up.sign;
    // Column vectors: each row gives one coordinate of the turned point.
    switch (up.axis) {
    case 0: // +x: (x, y, z) -> (-y, x, z); -x: (y, -x, z)
        return Matrix4(0, -s, 0, 0, s, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1);
    case 2: // +z: (x, z, -y); -z: (x, -z, y)
        return Matrix4(1, 0, 0, 0, 0, 0, s, 0, 0, -s, 0, 0, 0, 0, 0, 1);
    default: // +y: as it is; -y: (x, -y, -z)
        return Matrix4(1, 0, 0, 0, 0, s, 0, 0, 0, 0, s, 0, 0, 0, 0, 1);
    }
}
