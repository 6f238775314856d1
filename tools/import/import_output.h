// The two things rt-import writes: one mesh data file and the scene line
// that places it, or a whole scene.
#ifndef RT_IMPORT_OUTPUT_H
#define RT_IMPORT_OUTPUT_H

#include <assimp/scene.h>

#include "import_files.h"
#include "import_geometry.h"
#include "import_options.h"

// Each writes what opt asks for the faces geo of scene, never over one of
// the inputs, and returns the exit status.
int import_mesh(const Options &opt, const aiScene *scene, Geometry geo, const FileSet &inputs);
int import_scene(const Options &opt, const aiScene *scene, const Geometry &geo, const FileSet &inputs);

// Whether the file at path is a scene file that rt-import wrote: its first
// line says so. Only such a scene is replaced without -replace-scene.
bool written_by_import(const std::string &path);

#endif
