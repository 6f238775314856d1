#ifndef RT_SCENE_PATH_H
#define RT_SCENE_PATH_H

#include <string>

// The file that the name of a mesh data file, as a scene file writes it,
// stands for. A name is taken as written, relative to the working folder;
// when no file of that name exists there and the name is relative, the same
// name in the scene file's folder is taken instead, if a file of that name
// exists there, so that a scene and its meshes can be moved together and
// rendered from anywhere. Otherwise the name as written, whose opening then
// fails as it would have.
std::string scene_relative_path(const char *name, const char *scene_file);

#endif
