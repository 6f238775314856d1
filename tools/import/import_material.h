// A model's materials as rt's kd, ks, s and ke.
#ifndef RT_IMPORT_MATERIAL_H
#define RT_IMPORT_MATERIAL_H

#include <assimp/scene.h>

#include <string>

#include "import_common.h"

// A surface as the model describes it, in one of three ways.
struct SourceMaterial {
    enum Model {
        MODEL_PHONG,               // OBJ/MTL, COLLADA, FBX: Kd, Ks, Ns
        MODEL_METALLIC_ROUGHNESS,  // glTF
        MODEL_SPECULAR_GLOSSINESS, // glTF's specular-glossiness extension
    };
    Model model = MODEL_PHONG;
    Vec diffuse{0.7, 0.7, 0.7}; // Kd, the base colour, or the diffuse factor
    Vec specular;               // Ks, or the specular factor
    double shininess = 1.0;     // Ns, the Phong exponent
    double metallic = 0.0;
    double roughness = 1.0; // for specular-glossiness, 1 - glossiness
    Vec emissive;           // the colour times its strength and texture
    bool emission_textured = false;
};

struct RtMaterial {
    Vec kd, ks, ke;
    double s = 1.0;
};

// The material that rt renders for source; see the definition for the rule.
RtMaterial map_material(const SourceMaterial &source);

// What the model says about mat; false when any value is not a finite number.
bool read_material(const aiMaterial *mat, SourceMaterial *source);

// True for material index of scene when assimp made it up for faces without
// one of the model's own: one named AI_DEFAULT_MATERIAL_NAME, one without a
// name (the readers of formats without materials make such), but in glTF,
// whose materials need no name, only the last, which assimp's glTF readers
// add for primitives without a material.
bool is_made_up_material(const aiScene *scene, unsigned index, bool gltf);

// The path of mat's base colour texture (or its diffuse one), or "".
std::string colour_texture(const aiMaterial *mat);
// The path of mat's emission texture, or "".
std::string emission_texture(const aiMaterial *mat);
// The kinds of mat's other textures (normals, roughness ...), which rt
// does not show, joined by ", "; "" for none.
std::string unshown_textures(const aiMaterial *mat);

#endif
