// What the command line asks of rt-import.
#ifndef RT_IMPORT_OPTIONS_H
#define RT_IMPORT_OPTIONS_H

#include <cstddef>
#include <string>

#include "import_axes.h"

struct Options {
    bool scene = false;         // write a whole scene, not one mesh
    bool quads = false;         // write quads when every face is one
    bool fit = false;           // scale and move into the unit box around the origin
    bool keep_camera = false;   // keep the model's camera however little it shows
    bool frame = false;         // pass over the model's cameras: the automatic one frames the model
    bool replace_scene = false; // replace a scene file that rt-import did not write
    bool size_given = false;
    bool up_given = false;
    UpAxis up;
    int width = 512, height = 512; // the picture the scene is made for
    size_t max_memory = 0;         // bytes; 0: none
    double max_time = 120.0;       // seconds; 0: none
    bool help = false;
    bool version = false;
    std::string model;
    std::string output;
};

#endif
