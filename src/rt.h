#ifndef RT_RT_H
#define RT_RT_H

#include <cstdint>

#include "color.h"
#include "files/image_file.h"
#include "intinfo.h"
#include "ray.h"
#include "sampling/sampler.h"
#include "scene.h"

struct SDL_Surface;

// The settings of a run, fixed once the command line has been read.
extern int width;
extern int height;
extern int rays_ppxl;
extern int pix_subdiv;
extern double inv_gamma;
extern bool use_sdl;
// Where the picture goes: a name ending in .png gives a PNG, in .exr an
// OpenEXR file (of 32-bit floats with exr_float, else of half floats), in .pfm
// a PFM, any other a PPM.
extern const char *output;
extern bool exr_float;
// -1 in the classic mode, where the C library's one rand() sequence runs
// through the whole frame; otherwise the number of threads of the parallel
// mode, where each pixel draws from a stream of its own.
extern int threads;
// The rows rendered: band_begin to band_end - 1 of the frame. The image
// buffer holds just these.
extern int band_begin;
extern int band_end;
// The parallel mode's passes: pass_begin to pass_end - 1, no pass begun that
// would not end within time_box seconds (when not negative), the passes done
// kept in state_file (when not null).
extern int pass_begin;
extern int pass_end;
extern double time_box;
extern const char *state_file;
// The parallel mode's sampler: sobol for a new frame, a state's own to
// continue it, unless sampler_given (-sampler) names one for both.
extern Sampler sampler;
extern bool sampler_given;
// The parallel mode's noise target: passes in rounds until the picture's
// estimated relative error is at most this; 0 for none.
extern double noise_target;
// A state whose passes choose the pixels of the noise target's rounds, with
// the run's own (rendered into a state of their own); null for none.
extern const char *rounds_of;

// width x height pixels, row 0 on top, each 0x00RRGGBB.
extern uint32_t *image;
extern SDL_Surface *fbsurf;
extern Scene scene;

int calc_subdiv(int rays);
unsigned long get_msec();
void cleanup();

// Renders the whole frame with a progress bar and writes the output file;
// false when it could not be written.
bool render();
void render_scanline(uint32_t *fb, int y);
// The colour of pixel (x, y) of the frame, before gamma and packing.
Color pixel_colour(int x, int y);
Color avg_color(double pxl_width, double pxl_height, double x, double y, int depth);
// Gamma-corrects and packs a colour into 0x00RRGGBB.
uint32_t pack_color(const Color &color);
// The output's format, and where its rows lie in the frame.
ImageFile::Format output_format();
FramePlace output_place();

Color trace(const Ray &ray, int depth);
Color shade(const Ray &ray, IntInfo *min_info, int depth);

int rt_main(int argc, char **argv);

#endif
