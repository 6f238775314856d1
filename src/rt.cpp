#include "rt.h"

#include <SDL.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "accel/isa.h"
#include "brdf.h"
#include "camera.h"
#include "files/image_file.h"
#include "files/output_file.h"
#include "cli/option_values.h"
#include "parallel/parallel_mode.h"
#include "parallel/pass_window.h"
#include "parallel/picture_target.h"
#include "parallel/pass_sum.h"
#include "sampling/random.h"
#include "texture/texture.h"
#include "cli/report.h"
#include "cli/signals.h"
#include "tasks/task_runner.h"

int width = 512;
int height = 512;
int rays_ppxl = 4;
int pix_subdiv = 0;
double inv_gamma = 1.0;
bool use_sdl = true;
const char *output = "out.ppm";
bool exr_float = false;
int threads = -1;
int band_begin = 0;
int band_end = -1;
int pass_begin = 0;
int pass_end = -1;
double time_box = -1.0;
const char *state_file = nullptr;
Sampler sampler = Sampler::sobol;
bool sampler_given = false;
double noise_target = 0.0;
const char *rounds_of = nullptr;

uint32_t *image = nullptr;
SDL_Surface *fbsurf = nullptr;
Scene scene;

// The largest image accepted, in pixels: 1 GiB of image buffer.
static const long long MAX_PIXELS = 268435456;
// Depth of shading of every primary ray.
static const int TRACE_DEPTH = 5;

// The picture file of a window-less render, prepared before the first pixel.
static ImageFile picture;
// The colours that the image packs, in the classic mode when the output
// holds linear colours; black where no row has come yet.
static std::vector<Color> linear;
// Whether the render got as far as its first pixel; only then is its time
// reported.
static bool began = false;

// ---- light transport ----

Color trace(const Ray &ray, int depth)
{
    if (depth == 0) {
        return Color();
    }
    IntInfo min_info;
    if (!scene.intersection(ray, &min_info)) {
        return Color(); // no background
    }
    return shade(ray, &min_info, depth);
}

Color shade(const Ray &ray, IntInfo *min_info, int depth)
{
    Vector3 n = min_info->normal;
    if (dot(n, ray.dir) > 0.0) {
        n = -n;
    }
    Vector3 p = min_info->i_point;
    Vector3 v = normalize(ray.origin - p);
    const Material *mat = min_info->object->get_material();
    Material at_hit; // a textured surface's, where the ray meets it
    if (min_info->maps != nullptr) {
        at_hit = *mat;
        min_info->maps->paint(&at_hit.kd, &at_hit.ke, min_info->u, min_info->v);
        mat = &at_hit;
    }

    Color color = scene.get_ambient() * mat->kd + mat->ke;

    // Direct light: each unshadowed light adds its full colour, weighted by
    // the Lambert and Phong terms; no falloff, no pdf. The count is read
    // anew before each light.
    for (int i = 0; i < static_cast<int>(scene.lights.size()); i++) {
        begin_draws();
        const Object *light = scene.lights[i];
        Ray shadow_ray;
        shadow_ray.origin = p;
        shadow_ray.dir = light->sample() - p; // reaches exactly to the light
        // The light's own surface must not shadow its sample point: the
        // query passes over it, as over an ignored object, without touching
        // state that other threads share.
        if (!scene.intersection(shadow_ray, nullptr, light)) {
            Vector3 l = normalize(shadow_ray.dir);
            Vector3 lr = reflect(l, n);
            double d = dot(n, l);
            if (d < 0.0) {
                d = 0.0;
            }
            double lrdotv = dot(lr, v);
            if (lrdotv < 0.0) {
                lrdotv = 0.0;
            }
            double s = std::pow(lrdotv, mat->specexp);
            const Color &light_color = light->get_material()->ke;
            color = color + ((mat->kd * d) + (mat->ks * s)) * light_color;
        }
    }

    // One bounce at most, diffuse or glossy in proportion to the channels'
    // means; a lobe value below a uniform draw rejects the sampled direction.
    double avg_spec = ((mat->ks.x + mat->ks.y) + mat->ks.z) / 3.0;
    double avg_diff = ((mat->kd.x + mat->kd.y) + mat->kd.z) / 3.0;
    double range = avg_spec + avg_diff > 1.0 ? avg_spec + avg_diff : 1.0;
    begin_draws(1); // the lobe's choice, then its direction
    double rnd = random_unit() * range;

    if (avg_diff > rnd) {
        Vector3 newdir = sample_lambert(n);
        double u = random_unit();
        if (!(lambert(newdir, n) >= u)) {
            return color;
        }
        Ray newray;
        newray.origin = p;
        newray.dir = newdir * 10000.0;
        color += (trace(newray, depth - 1) * mat->kd) / avg_diff;
    } else if (avg_diff + avg_spec > rnd) {
        Vector3 newdir = sample_phong(-ray.dir, n, mat->specexp);
        double pdf_spec = phong(newdir, -normalize(ray.dir), n, mat->specexp);
        double u = random_unit();
        if (!(pdf_spec >= u)) {
            return color;
        }
        Ray newray;
        newray.origin = p;
        newray.dir = newdir * 10000.0;
        color += (trace(newray, depth - 1) * mat->ks) / avg_spec;
    }
    return color;
}

// ---- pixel sampling ----

Color avg_color(double pxl_width, double pxl_height, double x, double y, int depth)
{
    if (depth == 0) {
        if (begin_path() || rays_ppxl > 1) {
            // The x offset takes the first draw; each offset is summed
            // before the centre is added.
            x = (random_unit() * pxl_width + (-0.5 * pxl_width)) + x;
            y = (random_unit() * pxl_height + (-0.5 * pxl_height)) + y;
        }
        Ray ray = scene.get_camera()->get_primary_ray(x, y);
        Color c = trace(ray, TRACE_DEPTH);
        if (c.x > 1.0) {
            c.x = 1.0;
        }
        if (c.y > 1.0) {
            c.y = 1.0;
        }
        if (c.z > 1.0) {
            c.z = 1.0;
        }
        return c;
    }

    // Quarters in a fixed order: right-upper, right-lower, left-upper,
    // left-lower. The order fixes the random sequence of the whole frame.
    double w = pxl_width * 0.5;
    double h = pxl_height * 0.5;
    double dx = 0.25 * pxl_width;
    double dy = 0.25 * pxl_height;
    Color sum = avg_color(w, h, x + dx, y + dy, depth - 1);
    sum = sum + avg_color(w, h, x + dx, y - dy, depth - 1);
    sum = sum + avg_color(w, h, x - dx, y + dy, depth - 1);
    sum = sum + avg_color(w, h, x - dx, y - dy, depth - 1);
    return sum / 4.0;
}

static uint32_t pack_channel(double channel)
{
    double x = std::pow(channel, inv_gamma) * 255.0;
    // NaN fails every comparison, so it lands here with the negatives.
    if (!(x >= 0.0)) {
        return 0;
    }
    if (x > 255.0) {
        return 255;
    }
    return static_cast<uint32_t>(static_cast<int>(x));
}

uint32_t pack_color(const Color &color)
{
    uint32_t r = pack_channel(color.x);
    uint32_t g = pack_channel(color.y);
    uint32_t b = pack_channel(color.z);
    return (r << 16) | (g << 8) | b;
}

// The colour of pixel (x, y) of the frame, before gamma and packing.
Color pixel_colour(int x, int y)
{
    double pxl_width = 2.0 / width;
    double pxl_height = 2.0 / height;
    double xpos = ((x + 0.5) + (x + 0.5)) / width - 1.0;
    double ypos = ((y + 0.5) * -2.0) / height + 1.0;
    return avg_color(pxl_width, pxl_height, xpos, ypos, pix_subdiv);
}

void render_scanline(uint32_t *fb, int y)
{
    size_t at = static_cast<size_t>(y) * width;
    for (int x = 0; x < width; x++) {
        Color c = pixel_colour(x, y);
        fb[at + x] = pack_color(c);
        if (!linear.empty()) {
            linear[at + x] = c;
        }
    }
}

ImageFile::Format output_format()
{
    return ImageFile::by_name(output, exr_float);
}

FramePlace output_place()
{
    FramePlace place;
    place.first_row = band_begin;
    place.frame_rows = height;
    return place;
}

// The colours of a picture, a row at a time, from a frame of them.
static LinearColours colours_of(const std::vector<Color> *from)
{
    LinearColours colours;
    colours.pack = pack_color;
    colours.row = [from](int y, Color *out) {
        std::copy_n(from->begin() + static_cast<size_t>(y) * width, width, out);
    };
    return colours;
}

static int band_rows()
{
    return band_end - band_begin;
}

// " rendering: [====>     ] 10%\r": the share done once `done` rows of
// `total` are finished.
static void print_progress(int done, int total)
{
    int progr = static_cast<int>(100LL * done / total);
    char bar[51];
    progress_bar(progr, bar);
    report(" rendering: [%s] %d%%\r", bar, progr);
}

// A render of passes holds two frames of colours besides the picture.
static void report_pass_memory()
{
    fprintf(stderr, "not enough memory for the passes of a %dx%d frame\n", width, band_rows());
}

bool render()
{
    if (threads > 0) {
        try {
            return render_passes(&picture, image, &began);
        } catch (const std::bad_alloc &) {
            report_pass_memory();
            return false;
        }
    }
    began = true;
    // The bar of a row is shown before the row is rendered.
    for (int y = 0; y < height; y++) {
        print_progress(y + 1, height);
        render_scanline(image, y);
    }
    report("\n");

    if (!picture.write(image, colours_of(&linear))) {
        image_write_failed(output, picture.reason());
        return false;
    }
    return true;
}

// ---- preview window ----

// Shows the whole image buffer. The surface may have rows wider than the
// picture, or another pixel layout; nothing is written past a row.
static void update()
{
    SDL_PixelFormat *fmt = fbsurf->format;
    bool same_layout = fmt->BytesPerPixel == 4 && fmt->Rmask == 0xFF0000 && fmt->Gmask == 0xFF00 && fmt->Bmask == 0xFF;

    std::unique_lock<std::mutex> image_lock = hold_pass_image();
    if (SDL_MUSTLOCK(fbsurf)) {
        SDL_LockSurface(fbsurf);
    }
    for (int y = 0; y < band_rows(); y++) {
        const uint32_t *src = image + static_cast<size_t>(y) * width;
        Uint8 *dst = static_cast<Uint8 *>(fbsurf->pixels) + static_cast<size_t>(y) * fbsurf->pitch;
        if (same_layout) {
            memcpy(dst, src, static_cast<size_t>(width) * 4);
            continue;
        }
        for (int x = 0; x < width; x++) {
            uint32_t p = src[x];
            Uint32 mapped = SDL_MapRGB(fmt, (p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
            Uint8 *px = dst + static_cast<size_t>(x) * fmt->BytesPerPixel;
            switch (fmt->BytesPerPixel) {
            case 1:
                *px = static_cast<Uint8>(mapped);
                break;
            case 2:
                *reinterpret_cast<Uint16 *>(px) = static_cast<Uint16>(mapped);
                break;
            case 3:
                // Three bytes in the machine's order of the mapped word.
                for (int b = 0; b < 3; b++) {
                    int shift = SDL_BYTEORDER == SDL_LIL_ENDIAN ? 8 * b : 8 * (2 - b);
                    px[b] = static_cast<Uint8>(mapped >> shift);
                }
                break;
            default:
                memcpy(px, &mapped, 4);
                break;
            }
        }
    }
    if (SDL_MUSTLOCK(fbsurf)) {
        SDL_UnlockSurface(fbsurf);
    }
    SDL_Flip(fbsurf);
}

// SDL falls back on drivers that draw into a console, or nowhere, when no
// window system answers; those are no window. The one named in
// SDL_VIDEODRIVER is tried first when it is a window driver.
static bool init_window_driver()
{
    static const char *const window_drivers[] = {"x11", "Quartz", "windib", "directx"};
    const char *wanted = getenv("SDL_VIDEODRIVER");
    for (const char *name : window_drivers) {
        if (wanted != nullptr && strcmp(wanted, name) == 0 && SDL_VideoInit(name, 0) == 0) {
            return true;
        }
    }
    for (const char *name : window_drivers) {
        if (SDL_VideoInit(name, 0) == 0) {
            return true;
        }
    }
    return false;
}

// An X server resets when its last client leaves (Xvfb and xvfb-run's do,
// by default), and hangs up on whoever connects meanwhile; SDL's own probe
// of the display, which connects and leaves, is enough to set that off. So
// when a display is named, a failed window is asked for again a few times,
// over about a second and a half, before it counts as failed.
static const int WINDOW_TRIES = 6;
static const int WINDOW_FIRST_PAUSE_MS = 50; // doubled after every try

static bool open_window()
{
    SDL_Init(0);
    const char *display = getenv("DISPLAY");
    int tries = display != nullptr && display[0] != 0 ? WINDOW_TRIES : 1;
    for (int pause_ms = WINDOW_FIRST_PAUSE_MS; fbsurf == nullptr && tries > 0; pause_ms *= 2) {
        fbsurf = init_window_driver() ? SDL_SetVideoMode(width, band_rows(), 32, 0) : nullptr;
        if (fbsurf == nullptr && --tries > 0) {
            SDL_VideoQuit();
            SDL_Delay(pause_ms);
        }
    }
    if (fbsurf == nullptr) {
        fprintf(stderr, "set video mode failed\n");
        return false;
    }
    SDL_WM_SetCaption("Ostrel's Path Tracer", nullptr);
    return true;
}

// Writes what the image holds so far.
static void save_image()
{
    report("saving image\n");
    size_t pixels = static_cast<size_t>(width) * band_rows();
    std::vector<uint32_t> copy;
    std::vector<Color> colours;
    {
        std::unique_lock<std::mutex> image_lock = hold_pass_image();
        copy.assign(image, image + pixels);
        if (ImageFile::linear(output_format()) && passes_running()) {
            colours.resize(pixels);
            for (size_t i = 0; i < pixels; i++) {
                colours[i] = shown_pass_colour(i);
            }
        } else if (ImageFile::linear(output_format())) {
            colours = linear;
        }
    }
    std::string reason;
    if (!write_image(output, output_format(), copy.data(), width, band_rows(), output_place(), colours_of(&colours),
                     &reason)) {
        fprintf(stderr, "failed to save image: %s: %s\n", output, reason.c_str());
    }
}

// Serves one event; false when the program is to end.
static bool handle_event(const SDL_Event &ev)
{
    switch (ev.type) {
    case SDL_MOUSEBUTTONDOWN:
        report("mouse click: %d %d\n", ev.button.x, ev.button.y);
        break;
    case SDL_QUIT:
        return false;
    case SDL_KEYDOWN:
        if (ev.key.keysym.sym == SDLK_s || ev.key.keysym.sym == 83) {
            save_image();
        } else if (ev.key.keysym.sym == SDLK_ESCAPE) {
            return false;
        }
        break;
    case SDL_VIDEOEXPOSE:
        update();
        break;
    default:
        break;
    }
    return true;
}

static void print_completion(unsigned long start)
{
    report("rendering completed in %lu msec\n", get_msec() - start);
}

// Serves every pending event, otherwise renders and shows the next row.
// Once the frame is complete it sleeps until an event arrives.
static int run_window(unsigned long start)
{
    int next_scanline = 0;
    SDL_Event ev;
    for (;;) {
        bool rendering = next_scanline < height;
        int got = rendering ? SDL_PollEvent(&ev) : SDL_WaitEvent(&ev);
        if (got) {
            if (!handle_event(ev)) {
                cleanup();
                return 0;
            }
            continue;
        }
        if (rendering) {
            render_scanline(image, next_scanline);
            next_scanline++;
            update();
            if (next_scanline == height) {
                print_completion(start);
            }
        }
    }
}

// The window as the parallel mode drives it (parallel/pass_window.h).
static int serve_window_event()
{
    SDL_Event ev;
    if (!SDL_PollEvent(&ev)) {
        return 0;
    }
    return handle_event(ev) ? 1 : -1;
}

static void show_pass_caption(int pass, int planned)
{
    char caption[96];
    if (planned > 0) {
        snprintf(caption, sizeof caption, "Ostrel's Path Tracer (pass %d of %d)", pass, planned);
    } else {
        snprintf(caption, sizeof caption, "Ostrel's Path Tracer (pass %d)", pass);
    }
    SDL_WM_SetCaption(caption, nullptr);
}

static unsigned long render_start = 0;

static void print_completion_now()
{
    print_completion(render_start);
}

static void pause_window(int ms)
{
    SDL_Delay(ms);
}

static const PassWindow pass_window = {serve_window_event,   update,  show_pass_caption,
                                       print_completion_now, cleanup, pause_window};

// ---- program driver ----

int calc_subdiv(int rays)
{
    int k = 0;
    while (static_cast<double>(rays) >= std::pow(4.0, k)) {
        k++;
    }
    return k - 1;
}

unsigned long get_msec()
{
    static struct timeval tv0;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (tv0.tv_sec == 0 && tv0.tv_usec == 0) {
        tv0 = tv;
        return 0;
    }
    return (tv.tv_sec - tv0.tv_sec) * 1000 + (tv.tv_usec - tv0.tv_usec) / 1000;
}

void cleanup()
{
    delete[] image;
    image = nullptr;
    SDL_Quit();
}

static void print_usage()
{
    printf("usage: rt [options] scene-file...\n"
           "Renders the scene files, in a window unless -nosdl is given.\n"
           "\n"
           "  -nosdl      render without a window and write the image when done\n"
           "  -size WxH   image size in pixels (default 512x512)\n"
           "  -rays N     rays per pixel, rounded down to a power of four (default 4)\n"
           "  -gamma G    output gamma (default 1.0)\n"
           "  -o FILE     output image: FILE.png writes a PNG, FILE.exr an OpenEXR file\n"
           "              and FILE.pfm a float map of the linear colours before gamma,\n"
           "              any other name a PPM (default out.ppm; the S key saves there too)\n"
           "  -exr-float  OpenEXR files of 32-bit floats rather than half floats\n"
           "  -threads N  the parallel mode on N threads (0: one per core); the picture\n"
           "              depends on the scene and options only, not on N\n"
           "  -rows A:B   with -threads: render rows A to B-1 of the frame only\n"
           "  -passes P   with -threads: render P passes (or A:B, passes A to B-1) and\n"
           "              show their mean; the same passes give the same picture\n"
           "  -time S     with -threads: no pass begun that would not end within S seconds\n"
           "  -state FILE with -threads: keep the passes done in FILE after each pass,\n"
           "              and continue from the passes it holds\n"
           "  -sampler S  with -threads: sobol (the default for a new frame) or hash,\n"
           "              the numbers of the states saved before there was a choice;\n"
           "              a state goes on with its own\n"
           "  -noise T    with -threads: passes in rounds until the picture's estimated\n"
           "              relative error is at most T (.01 for 1%%), each round on the\n"
           "              pixels whose own is still above half of it\n"
           "  -rounds-of STATE  with -noise and -state: render passes of the rounds\n"
           "              that STATE's passes choose, into this run's state alone\n"
           "  -plan       with -threads: check the state file, the scene files and the\n"
           "              output, print the passes held and those the run would render,\n"
           "              and render nothing\n"
           "  -merge OUT STATE...  merge states of different passes of one frame into\n"
           "              the state OUT (and with -o FILE [-exr-float], write its picture)\n"
           "  --help      show this help\n"
           "  --version   show the version\n"
           "\n"
           "In the window: S saves, Escape quits, a mouse click prints its position.\n"
           "Exit status: 0 when done, 1 on a bad option, an unreadable scene file, no\n"
           "window, an image that cannot be written, or not enough memory.\n");
}

// Scene::load, with its message; running out of memory (a deep flake, a
// huge file) is a message of its own rather than an uncaught exception.
static bool load_scene_file(const char *fname, FilesKey *key)
{
    try {
        if (scene.load(fname, key)) {
            return true;
        }
        fprintf(stderr, "failed to load scene file: %s\n", fname);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "not enough memory to load scene file: %s\n", fname);
    }
    return false;
}

// Builds every box hierarchy before the first pixel, so that running out of
// memory is reported instead of ending a render halfway; the queries after
// this only read, as the parallel mode's threads need.
static bool build_hierarchies()
{
    try {
        scene.build_tree_once();
        return true;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "not enough memory for the box hierarchies of the scene\n");
        return false;
    }
}

// The parallel mode's share of the settings, handed over once the command
// line is read: the one place they are copied.
static void hand_over_settings()
{
    ParallelRun run;
    run.plan.threads = threads;
    run.plan.width = width;
    run.plan.first_row = band_begin;
    run.plan.rows = band_rows();
    run.plan.first_pass = pass_begin;
    run.plan.end_pass = pass_end;
    run.plan.seconds = time_box;
    run.plan.keep_colours = ImageFile::linear(output_format());
    run.plan.key.width = width;
    run.plan.key.height = height;
    run.plan.key.row_begin = band_begin;
    run.plan.key.row_end = band_end;
    run.plan.key.rays = rays_cast(rays_ppxl);
    run.plan.key.inv_gamma = inv_gamma;
    run.plan.key.sampler = sampler;
    run.plan.key.noise = noise_target;
    run.plan.sampler_given = sampler_given;
    run.plan.rounds_of = rounds_of;
    run.state_file = state_file;
    run.output = output;
    run.format = output_format();
    run.place = output_place();
    run.colour = pixel_colour;
    run.pack = pack_color;
    set_parallel_run(run);
}

// ---- the command line ----

// -plan: check and tell, render nothing.
static bool plan_only = false;
// The first option given that only the parallel mode takes, if any.
static const char *parallel_option = nullptr;

// One option: its name; the message when the value that should follow it is
// missing or refused (null for an option that takes none); what it does
// with the value, true when the value is taken. A PARALLEL option is the
// parallel mode's alone; an option that ENDS the program does so at once,
// with status 0.
struct Option {
    enum Kind { PLAIN, PARALLEL, ENDS };
    const char *name;
    const char *refused;
    bool (*take)(const char *value);
    Kind kind;
};

// A name that is not empty.
static bool take_name(const char *value, const char **name)
{
    *name = value[0] != 0 ? value : *name;
    return value[0] != 0;
}

static bool take_gamma(const char *value)
{
    double gamma;
    if (!parse_positive(value, &gamma)) {
        return false;
    }
    inv_gamma = 1.0 / gamma;
    return true;
}

static bool take_sampler(const char *value)
{
    sampler_given = sampler_named(value, &sampler);
    return sampler_given;
}

static void print_version()
{
    printf("rt %s\n", RT_VERSION);
}

static const Option OPTIONS[] = {
    {"-nosdl", nullptr,
     [](const char *) {
         use_sdl = false;
         return true;
     },
     Option::PLAIN},
    {"-size", "-size should be followed by WxH",
     [](const char *v) { return parse_size(v, MAX_PIXELS, &width, &height); }, Option::PLAIN},
    {"-rays", "-rays should be followed by the number of rays per pixel",
     [](const char *v) { return parse_count(v, &rays_ppxl); }, Option::PLAIN},
    {"-o", "-o should be followed by the output file name", [](const char *v) { return take_name(v, &output); },
     Option::PLAIN},
    {"-exr-float", nullptr,
     [](const char *) {
         exr_float = true;
         return true;
     },
     Option::PLAIN},
    {"-threads", "-threads should be followed by the number of threads",
     [](const char *v) { return parse_threads(v, &threads); }, Option::PLAIN},
    {"-rows", "-rows should be followed by A:B, the first row and one past the last",
     [](const char *v) { return parse_range(v, MAX_PIXELS, &band_begin, &band_end); }, Option::PLAIN},
    {"-passes", "-passes should be followed by a number of passes, or A:B, the first pass and one past the last",
     [](const char *v) { return parse_count_or_range(v, PassSum::MAX_PASSES, &pass_begin, &pass_end); },
     Option::PARALLEL},
    {"-time", "-time should be followed by a number of seconds",
     [](const char *v) { return parse_decimal(v, &time_box); }, Option::PARALLEL},
    {"-state", "-state should be followed by the state file name",
     [](const char *v) { return take_name(v, &state_file); }, Option::PARALLEL},
    {"-sampler", "-sampler should be followed by sobol or hash", take_sampler, Option::PLAIN},
    {"-noise", "-noise should be followed by the relative error wanted, a number above 0",
     [](const char *v) { return parse_decimal(v, &noise_target) && noise_target > 0.0; }, Option::PARALLEL},
    {"-rounds-of", "-rounds-of should be followed by the state file name",
     [](const char *v) { return take_name(v, &rounds_of); }, Option::PLAIN},
    {"-plan", nullptr,
     [](const char *) {
         plan_only = true;
         return true;
     },
     Option::PARALLEL},
    {"--help", nullptr,
     [](const char *) {
         print_usage();
         return true;
     },
     Option::ENDS},
    {"--version", nullptr,
     [](const char *) {
         print_version();
         return true;
     },
     Option::ENDS},
    {"-gamma", "-gamma should be followrd by the desired output gamma", take_gamma, Option::PLAIN},
};

static const Option *find_option(const char *word)
{
    for (const Option &o : OPTIONS) {
        if (strcmp(word, o.name) == 0) {
            return &o;
        }
    }
    return nullptr;
}

// Walks the command line in order: each option sets what it sets, and every
// other word, also one beginning with -, is a scene file, loaded as it is
// reached (into key as well, when given). The exit status when the program
// ends here (a bad option or scene file: 1; --help: 0), or -1 to go on.
static int read_command_line(int argc, char **argv, FilesKey *key, bool *scene_loaded)
{
    for (int i = 1; i < argc; i++) {
        const Option *o = find_option(argv[i]);
        if (o == nullptr) {
            if (!load_scene_file(argv[i], key)) {
                return 1;
            }
            *scene_loaded = true;
            continue;
        }
        const char *value = o->refused != nullptr ? (++i < argc ? argv[i] : nullptr) : "";
        if (value == nullptr || !o->take(value)) {
            fprintf(stderr, "%s\n", o->refused);
            return 1;
        }
        if (o->kind == Option::ENDS) {
            return 0;
        }
        if (o->kind == Option::PARALLEL && parallel_option == nullptr) {
            parallel_option = o->name;
        }
    }
    return -1;
}

// The rules between options, once they are all read; false after a
// message.
static bool validate()
{
    if (band_end < 0) {
        band_end = height;
    } else if (threads < 0) {
        fprintf(stderr, "-rows needs -threads: only the parallel mode renders part of a frame\n");
        return false;
    } else if (band_end > height) {
        fprintf(stderr, "-rows %d:%d reaches past the frame's %d rows\n", band_begin, band_end, height);
        return false;
    }
    if (threads > band_rows()) {
        threads = band_rows();
    }
    if (sampler_given && threads < 0) {
        fprintf(stderr, "-sampler needs -threads: the classic mode draws from rand()\n");
        return false;
    }
    if (parallel_option != nullptr && threads < 0) {
        fprintf(stderr, "%s needs -threads: only the parallel mode renders in passes\n", parallel_option);
        return false;
    }
    if (rounds_of != nullptr && (noise_target <= 0.0 || state_file == nullptr)) {
        fprintf(stderr, "-rounds-of needs -noise and -state: the passes of a round go into a state of their own\n");
        return false;
    }
    if (noise_target > 0.0 && band_end - band_begin != height) {
        fprintf(stderr, "-noise needs the whole frame: the pixels of a round are chosen from all of them\n");
        return false;
    }
    if (pass_end < 0) {
        // Only the time box or the noise target, if any, ends the passes.
        pass_end = time_box >= 0.0 || noise_target > 0.0 ? PassSum::MAX_PASSES : 1;
    }
    return true;
}

// The image buffer, and in the classic mode the colours that a picture of
// linear colours needs; false after a message.
static bool allocate_image()
{
    size_t pixels = static_cast<size_t>(width) * band_rows();
    // The largest frame takes 1 GiB; where that cannot be had the run ends
    // like any refused request, not with an uncaught exception.
    image = new (std::nothrow) uint32_t[pixels];
    if (image == nullptr) {
        fprintf(stderr, "not enough memory for a %dx%d image\n", width, height);
        return false;
    }
    memset(image, 0x0F, pixels * sizeof(uint32_t));
    if (threads < 0 && ImageFile::linear(output_format())) {
        try {
            linear.assign(pixels, Color());
        } catch (const std::bad_alloc &) {
            fprintf(stderr, "not enough memory for the colours of a %dx%d image\n", width, band_rows());
            return false;
        }
    }
    return true;
}

// What every run does before its picture is begun: the settings reported,
// the scene and the picture's target checked, the state held, the picture
// prepared; the exit status when the run ends here, or -1 to go on.
static int prepare_run(bool scene_loaded, const FilesKey &scene_key)
{
    // A reader of the picture on standard output gets nothing else there.
    if (is_same_file(output, STDOUT_FILENO)) {
        report_to(stderr);
    }
    pix_subdiv = calc_subdiv(rays_ppxl);
    report("rays: %d  ->  subdiv: %d\n", rays_ppxl, pix_subdiv);

    if (!scene_loaded) {
        fprintf(stderr, "must specify a scene file\n");
        return 1;
    }
    if (scene.get_camera() == nullptr) {
        fprintf(stderr, "no camera specified, using the default camera\n");
        scene.set_camera(new Camera());
    }

    // The output is checked before anything is rendered: a folder that
    // cannot be written is found out now, not after the render. A signal
    // from here on leaves no temporary behind, window or not.
    end_on_signals();
    hand_over_settings();
    std::vector<const char *> states;
    for (const char *state : {state_file, rounds_of}) {
        if (state != nullptr) {
            states.push_back(state);
        }
    }
    if (!check_picture_target(output, &scene.input_files(), states)) {
        return 1;
    }
    if (state_file != nullptr && !prepare_state(scene_key)) {
        return 1;
    }
    if (!picture.open(output, width, band_rows(), output_format(), output_place())) {
        image_write_failed(output, picture.reason());
        return 1;
    }
    if (plan_only) {
        picture.discard();
        return print_pass_plan() ? 0 : 1;
    }
    if (use_sdl) {
        picture.discard(); // the S key writes a file of its own each time
        if (!open_window()) {
            return 1;
        }
    }
    return allocate_image() ? -1 : 1;
}

// Renders the frame in the way the settings ask: with or without the window,
// in the classic or the parallel mode. The exit status.
static int run()
{
    render_start = get_msec();
    if (!build_hierarchies()) {
        return 1;
    }
    if (use_sdl && threads > 0) {
        try {
            return run_passes_in_window(pass_window, image);
        } catch (const std::bad_alloc &) {
            report_pass_memory();
            return 1;
        }
    }
    if (use_sdl) {
        return run_window(render_start);
    }
    bool written = render();
    if (began) {
        print_completion(render_start);
    }
    cleanup();
    return written ? 0 : 1;
}

// How the process allocates and how many threads set the scene up, before
// any scene file is read.
static void set_up_process()
{
#if defined(__GLIBC__)
    // Blocks of 256 KiB and more are mapped for themselves and given back
    // when freed, and every thread allocates from the one heap. Left to
    // itself the allocator raises that bound after each large block freed,
    // and keeps what each of the set-up's threads freed for that thread:
    // some 3 to 5 bytes a triangle more at the peak of a large mesh, as the
    // threads' timing has it. The threads allocate seldom, and never per ray.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_ARENA_MAX, 1);
#endif
    // Mesh data files are read and hierarchies built on every core, in
    // either mode: what comes out does not depend on the number of threads,
    // and they have all ended before the first pixel.
    scene.set_threads(setup_threads());
}

static bool names(int argc, char **argv, const char *word)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], word) == 0) {
            return true;
        }
    }
    return false;
}

int rt_main(int argc, char **argv)
{
    // A reader of standard output that goes away costs the progress lines,
    // not the picture; a file size limit fails the write, which is reported.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // Before any scene is read: a mesh's hierarchy takes the form of the
    // path its walks run on.
    const std::string isa_error = isa_setting_error();
    if (!isa_error.empty()) {
        fprintf(stderr, "%s\n", isa_error.c_str());
        return 1;
    }
    if (names(argc, argv, "-merge")) {
        return merge_main(
            argc, argv, [](double gamma) { inv_gamma = gamma; }, pack_color);
    }
    set_up_process();
    // What a state file is keyed to: the scene and mesh files' bytes, as
    // they are loaded. Only a run with a state file needs it.
    FilesKey scene_key;
    bool scene_loaded = false;
    int status = read_command_line(argc, argv, names(argc, argv, "-state") ? &scene_key : nullptr, &scene_loaded);
    if (status >= 0) {
        return status;
    }
    if (!validate()) {
        return 1;
    }
    status = prepare_run(scene_loaded, scene_key);
    return status >= 0 ? status : run();
}
