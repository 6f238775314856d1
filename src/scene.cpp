#include "scene.h"

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

#include "light.h"
#include "matrix.h"
#include "mesh.h"
#include "files/mesh_text.h"
#include "files/number_scan.h"
#include "plane.h"
#include "sphere.h"
#include "sphereflake.h"
#include "tasks/task_runner.h"

// Lines of a scene file are read into this many bytes, longer ones in pieces.
static const int SCENE_LINE_SIZE = 1024;
// Mesh data is read in windows of MESH_WINDOW_BLOCKS blocks of about
// MESH_BLOCK bytes: a block is read by one thread at a time, and a window is
// what is held at once.
static const size_t MESH_BLOCK = 1 << 20;
static const size_t MESH_WINDOW_BLOCKS = 16;
// Deeper flakes hold 6^11 spheres and tens of GiB.
static const int MAX_FLAKE_DEPTH = 10;

Scene::~Scene()
{
    clear();
}

void Scene::clear()
{
    // An emissive object is in both lists; it is freed with the objects, and
    // only lights of no object (point lights) with the light list. Asking
    // is_light() here instead would free twice, or never, an object whose
    // material changed after it was added. The lights are looked up in a
    // sorted copy of their own list, which is short when the scene is big.
    delete bbroot;
    std::vector<Object *> sorted(lights);
    std::sort(sorted.begin(), sorted.end());
    std::vector<char> owned(sorted.size(), 0);
    for (Object *object : objects) {
        auto it = std::lower_bound(sorted.begin(), sorted.end(), object);
        if (it != sorted.end() && *it == object) {
            owned[it - sorted.begin()] = 1;
        }
        delete object;
    }
    for (size_t i = 0; i < sorted.size(); i++) {
        // A light listed twice is freed once.
        if (!owned[i] && (i == 0 || sorted[i] != sorted[i - 1])) {
            delete sorted[i];
        }
    }
    delete cam;
    std::vector<Object *>().swap(objects);
    std::vector<Object *>().swap(lights);
    bbroot = nullptr;
    cam = nullptr;
    ambient = Color();
}

void Scene::add_object(Object *object)
{
    objects.push_back(object);
    if (object->is_light()) {
        lights.push_back(object);
    }
}

void Scene::set_camera(Camera *camera)
{
    if (camera != cam) {
        delete cam;
    }
    cam = camera;
}

bool Scene::intersection(const Ray &ray, IntInfo *inter, const Object *skip)
{
    RT_COUNT(queries);
    if (bbroot == nullptr) {
        build_bbtree();
    }
    return bbroot->intersection(ray, inter, skip);
}

void Scene::build_bbtree()
{
    build_tree(objects.size());
}

void Scene::set_accelerated(bool on)
{
    accelerated = on;
    if (bbroot != nullptr) {
        delete bbroot;
        bbroot = nullptr;
        build_tree(tree_count);
    }
}

// The root is the fixed cube; its own box test decides first either way.
void Scene::build_tree(size_t count)
{
    Vector3 max(10000.0, 10000.0, 10000.0);
    Vector3 min = -max;
    bbroot = new BBoxNode(BBox(min, max));
    tree_count = count;
    for (size_t i = 0; i < count; i++) {
        if (Mesh *mesh = dynamic_cast<Mesh *>(objects[i])) {
            mesh->set_accelerated(accelerated);
            mesh->set_build_threads(threads);
        } else if (SphereFlake *flake = dynamic_cast<SphereFlake *>(objects[i])) {
            flake->set_accelerated(accelerated);
        }
        objects[i]->calc_bbox();
        if (!accelerated) {
            bbroot->add_object(objects[i]);
        }
    }
    if (accelerated) {
        bbroot->build_hierarchy(objects, count, threads);
    }
}

static void set_material(Object *obj, float dr, float dg, float db, float sr, float sg, float sb, float specexp,
                         float kr, float er, float eg, float eb)
{
    Material *mat = obj->get_material();
    mat->kd = Color(dr, dg, db);
    mat->ks = Color(sr, sg, sb);
    mat->specexp = specexp;
    mat->kr = kr;
    mat->ke = Color(er, eg, eb);
}

static Object *load_sphere(const char *line)
{
    float x, y, z, rad, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb;
    int res = sscanf(line, "s c(%f %f %f) r(%f) kd(%f %f %f) ks(%f %f %f) s(%f) kr(%f) ke(%f %f %f)\n", &x, &y, &z,
                     &rad, &dr, &dg, &db, &sr, &sg, &sb, &specexp, &kr, &er, &eg, &eb);
    if (res < 15) {
        return nullptr;
    }
    Object *sph = new Sphere(Vector3(x, y, z), rad);
    set_material(sph, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb);
    return sph;
}

static Object *load_plane(const char *line)
{
    float nx, ny, nz, dist, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb;
    int res = sscanf(line, "p n(%f %f %f) d(%f) kd(%f %f %f) ks(%f %f %f) s(%f) kr(%f) ke(%f %f %f)\n", &nx, &ny, &nz,
                     &dist, &dr, &dg, &db, &sr, &sg, &sb, &specexp, &kr, &er, &eg, &eb);
    if (res < 15) {
        return nullptr;
    }
    Object *plane = new Plane(Vector3(nx, ny, nz), dist);
    set_material(plane, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb);
    return plane;
}

static Object *load_sphflake(const char *line)
{
    float x, y, z, rad, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb;
    int iter;
    int res = sscanf(line, "f c(%f %f %f) r(%f) i(%d) kd(%f %f %f) ks(%f %f %f) s(%f) kr(%f) ke(%f %f %f)\n", &x, &y,
                     &z, &rad, &iter, &dr, &dg, &db, &sr, &sg, &sb, &specexp, &kr, &er, &eg, &eb);
    if (res < 16 || iter > MAX_FLAKE_DEPTH) {
        return nullptr;
    }
    Object *flake = create_sflake(Vector3(x, y, z), rad, iter);
    if (flake == nullptr) {
        return nullptr;
    }
    set_material(flake, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb);
    return flake;
}

static Object *load_light(const char *line)
{
    float x, y, z, r, g, b;
    int res = sscanf(line, "l p(%f %f %f) c(%f %f %f)\n", &x, &y, &z, &r, &g, &b);
    if (res < 6) {
        return nullptr;
    }
    PointLight *light = new PointLight();
    light->position = Vector3(x, y, z);
    light->get_material()->ke = Color(r, g, b);
    return light;
}

static Camera *load_camera(const char *line)
{
    float x, y, z, tx, ty, tz, fov;
    int res = sscanf(line, "c p(%f %f %f) t(%f %f %f) fov(%f)\n", &x, &y, &z, &tx, &ty, &tz, &fov);
    if (res < 7) {
        return nullptr;
    }
    Vector3 position(x, y, z), target(tx, ty, tz);
    // Without a view direction every ray would be NaN.
    if (position.x == target.x && position.y == target.y && position.z == target.z) {
        return nullptr;
    }
    Camera *cam = new Camera(position, target);
    cam->set_fov(fov * 3.141592653589793 / 180.0);
    return cam;
}

namespace
{

// The part of a block of mesh data that is its own: its lines' numbers, its
// corners placed (scaled, then rotated, then moved) and its normals turned.
struct MeshBlock {
    MeshText text;
    std::vector<Vector3> positions, normals;
};

void read_mesh_block(const char *text, size_t size, int corners, const Vector3 &pos, const Matrix4x4 &rot,
                     const Vector3 &scale, MeshBlock *block)
{
    read_mesh_text(text, size, corners, &block->text);
    const std::vector<float> &p = block->text.positions, &n = block->text.normals;
    block->positions.reserve(p.size() / 3);
    for (size_t i = 0; i < p.size(); i += 3) {
        Vector3 vec(p[i] * scale.x, p[i + 1] * scale.y, p[i + 2] * scale.z);
        vec.transform(rot);
        block->positions.push_back(vec + pos);
    }
    block->normals.reserve(n.size() / 3);
    for (size_t i = 0; i < n.size(); i += 3) {
        Vector3 vec(n[i], n[i + 1], n[i + 2]);
        vec.transform(rot);
        block->normals.push_back(normalize(vec));
    }
    std::vector<float>().swap(block->text.positions);
    std::vector<float>().swap(block->text.normals);
}

// Adds a block's lines to the mesh, after the blocks before it; false if
// an index reaches past the lines read so far or the block is invalid.
bool add_mesh_block(Mesh *mesh, const MeshBlock &block, int corners)
{
    const MeshText &t = block.text;
    if (!t.valid || t.least_index < 1 || t.position_excess > static_cast<long long>(mesh->position_count()) ||
        t.normal_excess > static_cast<long long>(mesh->normal_count())) {
        return false;
    }
    for (const Vector3 &v : block.positions) {
        mesh->add_position(v);
    }
    for (const Vector3 &v : block.normals) {
        mesh->add_normal(v);
    }
    for (size_t f = 0; f < t.corners.size(); f += 2 * corners) {
        uint32_t vidx[4], nidx[4];
        for (int i = 0; i < corners; i++) {
            vidx[i] = static_cast<uint32_t>(t.corners[f + 2 * i] - 1);
            nidx[i] = static_cast<uint32_t>(t.corners[f + 2 * i + 1] - 1);
        }
        mesh->add_indexed_face(vidx, nidx);
    }
    return true;
}

// Fills buf[*held, cap) from the file as far as it goes; *at_end once it
// ends or fails (see ferror).
void fill_window(FILE *fp, char *buf, size_t cap, size_t *held, bool *at_end)
{
    while (*held < cap && !*at_end) {
        size_t got = fread(buf + *held, 1, cap - *held, fp);
        *held += got;
        *at_end = got == 0 || ferror(fp) || feof(fp);
    }
}

} // namespace

// Reads a mesh data file into mesh, placing every vertex: scaled, then
// rotated, then moved. False after a message when the file cannot be read or
// is not valid; the caller then discards the mesh. The file is read a window
// at a time; each window is cut where pieces start into blocks of about
// MESH_BLOCK bytes, read on up to `threads` threads and added to the mesh in
// order, so that the mesh is the same whatever the number of threads.
static bool load_mesh_data(Mesh *mesh, const char *fname, const Vector3 &pos, const Matrix4x4 &rot,
                           const Vector3 &scale, int threads)
{
    FILE *fp = fopen(fname, "r");
    if (fp == nullptr) {
        fprintf(stderr, "failed to open mesh data file: %s: %s\n", fname, strerror(errno));
        return false;
    }
    // Not zeroed: the pages of a window that a small file leaves unread cost
    // no memory.
    const size_t cap = MESH_BLOCK * MESH_WINDOW_BLOCKS;
    std::unique_ptr<char[]> window(new char[cap]);
    size_t held = 0;
    bool at_end = false;
    fill_window(fp, window.get(), cap, &held, &at_end);

    bool valid = false;
    int prim = 0;
    size_t start = 0;
    if (!ferror(fp) && held > 0) {
        char header[MESH_PIECE + 1];
        start = mesh_piece_length(window.get(), held);
        std::memcpy(header, window.get(), start);
        header[start] = 0;
        if (sscanf(header, "MESH%d\n", &prim) == 1) {
            // Any count but 3 or 4 leaves the mesh without a face test, after
            // its own message: the file is then invalid.
            mesh->set_primitive(static_cast<MeshPrim>(prim));
            valid = mesh->has_face_test();
        }
    }

    std::vector<size_t> cuts;
    std::vector<MeshBlock> blocks;
    while (valid && !ferror(fp)) {
        // Whole pieces only, unless the file ends here.
        const char *text = window.get();
        size_t usable = at_end ? held : start + mesh_piece_boundary(text + start, held - start);
        cuts.assign(1, start);
        while (usable - cuts.back() > MESH_BLOCK) {
            cuts.push_back(cuts.back() + mesh_piece_boundary(text + cuts.back(), MESH_BLOCK));
        }
        cuts.push_back(usable);
        blocks.assign(cuts.size() - 1, MeshBlock());
        run_tasks(blocks.size(), threads, [&](size_t b) {
            read_mesh_block(text + cuts[b], cuts[b + 1] - cuts[b], prim, pos, rot, scale, &blocks[b]);
        });
        for (size_t b = 0; b < blocks.size() && valid; b++) {
            valid = add_mesh_block(mesh, blocks[b], prim);
        }
        if (at_end) {
            break;
        }
        std::memmove(window.get(), text + usable, held - usable);
        held -= usable;
        start = 0;
        fill_window(fp, window.get(), cap, &held, &at_end);
    }

    if (ferror(fp)) {
        // Opened but unreadable, a directory for instance.
        fprintf(stderr, "failed to open mesh data file: %s: %s\n", fname, strerror(errno));
        fclose(fp);
        return false;
    }
    fclose(fp);
    if (!valid) {
        fprintf(stderr, "failed to read mesh data file: %s: invalid format\n", fname);
        return false;
    }
    mesh->shrink_to_fit();
    return true;
}

static Object *load_mesh(const char *line, int threads)
{
    char fname[SCENE_LINE_SIZE];
    float x, y, z, angle, rx, ry, rz, sx, sy, sz, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb;
    // A name cannot be longer than the line it stands on, so it always fits.
    int res = sscanf(line,
                     "m %1023s pos(%f %f %f) rot(%f %f %f %f) scale(%f %f %f) kd(%f %f %f) ks(%f %f %f) s(%f) "
                     "kr(%f) ke(%f %f %f)\n",
                     fname, &x, &y, &z, &angle, &rx, &ry, &rz, &sx, &sy, &sz, &dr, &dg, &db, &sr, &sg, &sb, &specexp,
                     &kr, &er, &eg, &eb);
    if (res < 22) {
        return nullptr;
    }

    Vector3 pos(x, y, z);
    Vector3 scale(sx, sy, sz);
    Matrix4x4 rot;
    rot.set_rotation(Vector3(rx, ry, rz), angle * 3.141592653589793 / 180.0);

    Mesh *mesh = new Mesh(MESH_PRIM_TRI);
    if (!load_mesh_data(mesh, fname, pos, rot, scale, threads)) {
        delete mesh;
        return nullptr;
    }
    set_material(mesh, dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb);
    return mesh;
}

bool Scene::load(const char *fname)
{
    FILE *fp = fopen(fname, "r");
    if (fp == nullptr) {
        return false;
    }
    bool res = load(fp);
    fclose(fp);
    return res;
}

bool Scene::load(FILE *fp)
{
    char line[SCENE_LINE_SIZE];
    // Wide enough for any file a disk can hold: an int would overflow past
    // 2^31 lines, which a file of 2 GiB of empty lines reaches.
    long long lnum = 0;

    while (fgets(line, sizeof line, fp) != nullptr) {
        lnum++;
        char kind = line[0];
        if (kind == '\n' || kind == '#' || kind == '\r') {
            continue;
        }

        bool valid = true;
        switch (kind) {
        case 's':
        case 'p':
        case 'f':
        case 'm': {
            Object *obj = kind == 's'   ? load_sphere(line)
                          : kind == 'p' ? load_plane(line)
                          : kind == 'f' ? load_sphflake(line)
                                        : load_mesh(line, threads);
            if (obj != nullptr) {
                add_object(obj);
            } else {
                valid = false;
            }
            break;
        }
        case 'l': {
            Object *light = load_light(line);
            if (light != nullptr) {
                lights.push_back(light);
            } else {
                valid = false;
            }
            break;
        }
        case 'c': {
            Camera *camera = load_camera(line);
            if (camera != nullptr) {
                set_camera(camera);
            } else {
                valid = false;
            }
            break;
        }
        default:
            valid = false;
            break;
        }

        if (!valid) {
            fprintf(stderr, "error in line %lld: \"%s\", ignoring.\n", lnum, line);
        }
    }
    // The end of the file is success; a read error (a directory, say) is not.
    return !ferror(fp);
}
