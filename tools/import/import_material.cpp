#include "import_material.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace
{

// The Phong exponent for a roughness; see map_material.
double phong_exponent(double roughness)
{
    double r = std::clamp(roughness, 0.0, 1.0);
    return 2.0 / (r * r * r * r) - 2.0;
}

Vec non_negative(const Vec &c)
{
    return Vec(std::fmax(c.x, 0.0), std::fmax(c.y, 0.0), std::fmax(c.z, 0.0));
}

bool get_colour(const aiMaterial *mat, const char *key, unsigned type, unsigned index, Vec *out)
{
    aiColor3D c;
    if (mat->Get(key, type, index, c) != AI_SUCCESS) {
        return false;
    }
    *out = Vec(c.r, c.g, c.b);
    return true;
}

bool get_number(const aiMaterial *mat, const char *key, unsigned type, unsigned index, double *out)
{
    float value;
    if (mat->Get(key, type, index, value) != AI_SUCCESS) {
        return false;
    }
    *out = value;
    return true;
}

const aiTextureType kShownTextures[] = {aiTextureType_BASE_COLOR, aiTextureType_DIFFUSE, aiTextureType_EMISSION_COLOR,
                                        aiTextureType_EMISSIVE};

bool is_shown(aiTextureType type)
{
    return std::find(std::begin(kShownTextures), std::end(kShownTextures), type) != std::end(kShownTextures);
}

std::string first_texture(const aiMaterial *mat, std::initializer_list<aiTextureType> types)
{
    for (aiTextureType type : types) {
        aiString path;
        if (mat->GetTextureCount(type) > 0 && mat->GetTexture(type, 0, &path) == AI_SUCCESS && path.length > 0) {
            return path.C_Str();
        }
    }
    return "";
}

// A texture kind as a user reads it: "normals", "diffuse roughness".
std::string texture_kind(aiTextureType type)
{
    std::string name;
    for (const char *c = aiTextureTypeToString(type); *c != 0; c++) {
        if (isupper(static_cast<unsigned char>(*c)) && !name.empty()) {
            name += ' ';
        }
        name += static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    }
    return name;
}

} // namespace

// The one mapping from a model's material to rt's, and why it is so.
//
// rt shades with Phong's model: a light adds kd times the cosine at the
// surface plus ks times the cosine to the mirror direction raised to the
// power s, and a bounce goes diffusely or glossily in proportion to the
// means of kd and ks. So:
// - Phong materials (MTL's Kd, Ks and Ns; the diffuse and specular colours
//   and the shininess of COLLADA and FBX) keep their values: they are the
//   same model.
// - Metallic-roughness (glTF): a metal reflects its base colour, all of it
//   glossily. A non-metal reflects 4 % glossily, the usual head-on
//   reflectance of plastics, paints and stone, whatever their colour; the
//   rest of the light enters the surface and comes back out diffusely,
//   tinted by the base colour. metallic blends the two:
//       kd = base (1 - metallic) (1 - 0.04)
//       ks = 0.04 (1 - metallic) + base metallic
// - Specular-glossiness: ks is the specular colour and kd the diffuse colour
//   times 1 minus the largest specular channel, the extension's own split
//   of the light between the two.
// - Roughness r (or 1 - glossiness) becomes s = 2 / r^4 - 2: the Phong lobe
//   as wide as the microfacet lobe of width r^2 that r stands for, by the
//   usual correspondence s = 2 / width^2 - 2.
// - s stays within 1 and 1000, MTL's range for Ns: below 1 the lobe would
//   not narrow towards the mirror direction at all, and a perfectly smooth
//   surface would ask for an infinite s.
// - No surface reflects more light than it receives, or light would grow
//   from bounce to bounce: negative colours count as 0, and where kd + ks
//   exceeds 1 in a channel, kd and ks are scaled down by one factor, the
//   same in every channel so that the hue stays, until no channel does.
// - ke is the emissive colour, times its strength when the file gives one
//   and times its texture's mean colour when it has one, so that an
//   emissive surface lights the scene as an area light. It is scaled down,
//   hue kept, until its brightest channel is at most kKeyLight: no glow is
//   brighter than the key light makes a white surface (files give
//   strengths in units of their own, up to thousands).
RtMaterial map_material(const SourceMaterial &source)
{
    const double dielectric = 0.04;
    RtMaterial out;
    switch (source.model) {
    case SourceMaterial::MODEL_PHONG:
        out.kd = source.diffuse;
        out.ks = source.specular;
        out.s = source.shininess;
        break;
    case SourceMaterial::MODEL_METALLIC_ROUGHNESS: {
        double metallic = std::clamp(source.metallic, 0.0, 1.0);
        out.kd = source.diffuse * ((1.0 - metallic) * (1.0 - dielectric));
        out.ks = Vec(dielectric * (1.0 - metallic)) + source.diffuse * metallic;
        out.s = phong_exponent(source.roughness);
        break;
    }
    case SourceMaterial::MODEL_SPECULAR_GLOSSINESS:
        out.ks = non_negative(source.specular);
        out.kd = source.diffuse * (1.0 - std::fmin(max_channel(out.ks), 1.0));
        out.s = phong_exponent(source.roughness);
        break;
    }
    out.s = std::clamp(out.s, 1.0, 1000.0);
    out.kd = non_negative(out.kd);
    out.ks = non_negative(out.ks);
    double most = max_channel(out.kd + out.ks);
    if (most > 1.0) {
        out.kd /= most;
        out.ks /= most;
    }
    out.ke = non_negative(source.emissive);
    double glow = max_channel(out.ke);
    if (glow > kKeyLight) {
        out.ke *= kKeyLight / glow;
    }
    return out;
}

bool read_material(const aiMaterial *mat, SourceMaterial *source)
{
    double glossiness;
    if (get_number(mat, AI_MATKEY_GLOSSINESS_FACTOR, &glossiness)) {
        source->model = SourceMaterial::MODEL_SPECULAR_GLOSSINESS;
        source->roughness = 1.0 - glossiness;
        get_colour(mat, AI_MATKEY_COLOR_DIFFUSE, &source->diffuse);
        get_colour(mat, AI_MATKEY_COLOR_SPECULAR, &source->specular);
    } else if (get_number(mat, AI_MATKEY_METALLIC_FACTOR, &source->metallic)) {
        source->model = SourceMaterial::MODEL_METALLIC_ROUGHNESS;
        get_number(mat, AI_MATKEY_ROUGHNESS_FACTOR, &source->roughness);
        if (!get_colour(mat, AI_MATKEY_BASE_COLOR, &source->diffuse)) {
            get_colour(mat, AI_MATKEY_COLOR_DIFFUSE, &source->diffuse);
        }
    } else {
        source->model = SourceMaterial::MODEL_PHONG;
        get_colour(mat, AI_MATKEY_COLOR_DIFFUSE, &source->diffuse);
        get_colour(mat, AI_MATKEY_COLOR_SPECULAR, &source->specular);
        get_number(mat, AI_MATKEY_SHININESS, &source->shininess);
        double strength;
        if (get_number(mat, AI_MATKEY_SHININESS_STRENGTH, &strength)) {
            source->specular *= strength;
        }
    }
    get_colour(mat, AI_MATKEY_COLOR_EMISSIVE, &source->emissive);
    double intensity;
    if (get_number(mat, AI_MATKEY_EMISSIVE_INTENSITY, &intensity)) {
        source->emissive *= intensity;
    }
    return is_finite(source->diffuse) && is_finite(source->specular) && is_finite(source->emissive) &&
           std::isfinite(source->shininess) && std::isfinite(source->metallic) && std::isfinite(source->roughness);
}

bool is_made_up_material(const aiScene *scene, unsigned index, bool gltf)
{
    aiString name;
    const aiMaterial *mat = scene->mMaterials[index];
    if (mat->Get(AI_MATKEY_NAME, name) == AI_SUCCESS && strcmp(name.C_Str(), AI_DEFAULT_MATERIAL_NAME) == 0) {
        return true;
    }
    bool unnamed = mat->Get(AI_MATKEY_NAME, name) != AI_SUCCESS || name.length == 0;
    return unnamed && (!gltf || index + 1 == scene->mNumMaterials);
}

std::string colour_texture(const aiMaterial *mat)
{
    return first_texture(mat, {aiTextureType_BASE_COLOR, aiTextureType_DIFFUSE});
}

std::string emission_texture(const aiMaterial *mat)
{
    return first_texture(mat, {aiTextureType_EMISSION_COLOR, aiTextureType_EMISSIVE});
}

std::string unshown_textures(const aiMaterial *mat)
{
    std::string kinds;
    for (int type = aiTextureType_DIFFUSE; type <= AI_TEXTURE_TYPE_MAX; type++) {
        if (is_shown(static_cast<aiTextureType>(type)) || mat->GetTextureCount(static_cast<aiTextureType>(type)) == 0) {
            continue;
        }
        kinds += (kinds.empty() ? "" : ", ") + texture_kind(static_cast<aiTextureType>(type));
    }
    return kinds;
}
