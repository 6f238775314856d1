#include "import_camera_lights.h"

#include <algorithm>

namespace
{

const double kPi = 3.141592653589793;

Vec vec(const aiVector3D &v)
{
    return Vec(v.x, v.y, v.z);
}

// A light placed and given its strength at the model, before the scaling
// that model_lights describes.
struct LightAtModel {
    Vec position;
    Vec strength;
};

// Why rt cannot show cam, or null when it can and *out is set.
const char *convert_camera(const aiScene *scene, const aiCamera *cam, const Box &box, const CameraReading &reading,
                           RtCamera *out)
{
    Matrix4 world = node_to_world(scene->mRootNode->FindNode(cam->mName));
    Matrix3 turn(world);
    Vec position = vec(cam->mPosition), view = vec(cam->mLookAt), up = vec(cam->mUp);
    if (reading.at_node_origin) {
        position = Vec(0.0, 0.0, 0.0);
        view = Vec(0.0, 0.0, -1.0);
        up = Vec(0.0, 1.0, 0.0);
    }
    position = to_rt_frame(world * position);
    view = to_rt_frame(turn * view);
    up = to_rt_frame(turn * up);
    double given = cam->mHorizontalFOV;
    if (cam->mOrthographicWidth > 0.0f) {
        return "is orthographic, which rt cannot show";
    }
    if (!is_finite(position) || !is_finite(view) || !is_finite(up) || !std::isfinite(given) ||
        !std::isfinite(cam->mAspect)) {
        return "has values that are not finite numbers";
    }
    if (!(view.Length() > 0.0)) {
        return "has no view direction";
    }
    Vec d = view / view.Length();
    // rt's camera builds its right and up vectors from +y without making
    // them unit length: they shrink by the sine of the angle between the view
    // and +y, which narrows the view, down to nothing straight up or down.
    double sin_up = std::sqrt(d.x * d.x + d.z * d.z);
    if (sin_up < 0.01) {
        return "looks straight up or down, which rt cannot show";
    }

    // rt's angle holds both ways on a square picture: the wider of the two
    // angles of the model's frame shows all of it.
    out->aspect = cam->mAspect > 0.0f ? cam->mAspect : 1.0; // 0 when the file gives none
    double across, upwards;
    if (reading.vertical_times_aspect) {
        upwards = given / out->aspect;
        across = 2.0 * std::atan(out->aspect * std::tan(upwards / 2.0));
    } else {
        across = given;
        upwards = 2.0 * std::atan(std::tan(across / 2.0) / out->aspect);
    }
    double wide = std::max(across, upwards);
    if (!(wide > 0.0 && wide < kPi)) {
        return "has a field of view outside 0 to 180 degrees";
    }
    out->fov = 2.0 * std::atan(std::tan(wide / 2.0) / sin_up) * 180.0 / kPi;
    out->position = position;
    // As far along the view as the model's middle, so that the target has
    // the precision of the model's own numbers.
    out->target = position + d * std::max((box.centre() - position) * d, box.radius());

    // rt keeps +y up: the up vector it builds is +y made square to the view.
    Vec rt_up = d ^ (Vec(0.0, 1.0, 0.0) ^ d);
    Vec own_up = up - d * (up * d);
    if (!((rt_up * own_up) / (rt_up.Length() * own_up.Length()) > std::cos(kPi / 180.0))) {
        fprintf(stderr, "rt-import: camera \"%s\" is turned about its view; rt keeps +y up, so the turn is dropped\n",
                cam->mName.C_Str());
    }
    return nullptr;
}

// Why rt cannot show light, or null when it can.
const char *light_at_model(const aiScene *scene, const aiLight *light, const Box &box, LightAtModel *out)
{
    Matrix4 world = node_to_world(scene->mRootNode->FindNode(light->mName));
    Vec colour(light->mColorDiffuse.r, light->mColorDiffuse.g, light->mColorDiffuse.b);
    double falloff = 1.0;
    switch (light->mType) {
    case aiLightSource_DIRECTIONAL: {
        Vec dir = to_rt_frame(Matrix3(world) * vec(light->mDirection));
        if (dir.Length() == 0.0) {
            return "has no direction";
        }
        out->position = box.centre() - dir / dir.Length() * (1000.0 * box.radius());
        break;
    }
    case aiLightSource_POINT:
    case aiLightSource_SPOT:
    case aiLightSource_AREA: {
        out->position = to_rt_frame(world * vec(light->mPosition));
        double d = std::max((out->position - box.centre()).Length(), box.radius());
        falloff = light->mAttenuationConstant + light->mAttenuationLinear * d + light->mAttenuationQuadratic * d * d;
        if (falloff == 0.0) {
            falloff = 1.0;
        }
        break;
    }
    case aiLightSource_AMBIENT:
        return "is an ambient light, which rt does not have";
    default:
        return "is of a kind that rt does not have";
    }
    if (!is_finite(out->position) || !is_finite(colour) || !std::isfinite(falloff)) {
        return "has values that are not finite numbers";
    }
    if (!(falloff > 0.0)) {
        return "has a negative falloff";
    }
    out->strength = colour / falloff;
    if (!(max_channel(out->strength) > 0.0)) {
        return "gives no light";
    }
    out->strength =
        Vec(std::fmax(out->strength.x, 0.0), std::fmax(out->strength.y, 0.0), std::fmax(out->strength.z, 0.0));
    if (light->mType == aiLightSource_SPOT) {
        fprintf(stderr, "rt-import: spot light \"%s\" becomes a point light: its cone is dropped\n",
                light->mName.C_Str());
    } else if (light->mType == aiLightSource_AREA) {
        fprintf(stderr, "rt-import: area light \"%s\" becomes a point light: its area is dropped\n",
                light->mName.C_Str());
    }
    return nullptr;
}

} // namespace

std::vector<NamedCamera> model_cameras(const aiScene *scene, const Box &box, const CameraReading &reading)
{
    std::vector<NamedCamera> cameras;
    for (unsigned i = 0; i < scene->mNumCameras; i++) {
        NamedCamera cam;
        cam.name = scene->mCameras[i]->mName.C_Str();
        const char *fault = convert_camera(scene, scene->mCameras[i], box, reading, &cam.camera);
        if (fault == nullptr) {
            cameras.push_back(cam);
        } else {
            fprintf(stderr, "rt-import: camera \"%s\" %s: skipped\n", cam.name.c_str(), fault);
        }
    }
    return cameras;
}

// rt's point lights do not fall off with distance and rt has no exposure to
// set, so the lights' colours follow this rule:
// 1. What each light gives at the model: its colour (assimp folds a glTF
//    light's intensity into it) divided by the file's own falloff, constant
//    + linear d + quadratic d^2, taken once at the distance d from the light
//    to the middle of the model, or at the radius of the sphere around the
//    model when the light is nearer (inside the model, a light is about that
//    far from what it lights). A directional light does not fall off, nor
//    does a light whose falloff is 0.
// 2. One factor for all, such that the key light, the one that gives most,
//    gives kKeyLight in its brightest channel: a white surface facing it
//    comes out bright but short of full, and the lights' balance stays as
//    the file has it, seen from the model.
// A directional light stands 1000 times the model's radius away against its
// direction, which keeps its rays parallel within 0.06 degrees over the
// model; spot and area lights shine all around from their position.
std::vector<RtLight> model_lights(const aiScene *scene, const Box &box)
{
    std::vector<LightAtModel> found;
    double key = 0.0;
    for (unsigned i = 0; i < scene->mNumLights; i++) {
        LightAtModel light;
        const char *fault = light_at_model(scene, scene->mLights[i], box, &light);
        if (fault != nullptr) {
            fprintf(stderr, "rt-import: light \"%s\" %s: skipped\n", scene->mLights[i]->mName.C_Str(), fault);
            continue;
        }
        found.push_back(light);
        key = std::max(key, max_channel(light.strength));
    }
    std::vector<RtLight> lights;
    for (const LightAtModel &light : found) {
        lights.push_back({light.position, light.strength * (kKeyLight / key)});
    }
    return lights;
}
