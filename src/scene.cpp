#include "scene.h"

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "light.h"
#include "matrix.h"
#include "mesh.h"
#include "number_scan.h"
#include "plane.h"
#include "scene_path.h"
#include "sphere.h"
#include "sphereflake.h"

// Lines of a scene file are read into this many bytes, longer ones in pieces.
static const int SCENE_LINE_SIZE = 1024;
// Lines of a mesh data file likewise.
static const int MESH_LINE_SIZE = 256;
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
        } else if (SphereFlake *flake = dynamic_cast<SphereFlake *>(objects[i])) {
            flake->set_accelerated(accelerated);
        }
        objects[i]->calc_bbox();
        if (!accelerated) {
            bbroot->add_object(objects[i]);
        }
    }
    if (accelerated) {
        bbroot->build_hierarchy(objects, count);
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

// Moves past leading white space and cuts trailing white space off, in place.
static char *strip_space(char *buf)
{
    while (*buf && isspace(static_cast<unsigned char>(*buf))) {
        buf++;
    }
    if (*buf) {
        char *end = buf + strlen(buf) - 1;
        while (end > buf && isspace(static_cast<unsigned char>(*end))) {
            end--;
        }
        end[1] = 0;
    }
    return buf;
}

// A file read in large blocks but handed out in the pieces fgets would give
// with a buffer of MESH_LINE_SIZE bytes: up to and including a newline, at
// most MESH_LINE_SIZE - 1 characters, each piece a line of its own.
class LineReader
{
  public:
    explicit LineReader(FILE *fp) : fp(fp), block(1 << 16) {}

    // False at the end of the file or on a read error (see ferror).
    bool next(char piece[MESH_LINE_SIZE])
    {
        if (end - pos < static_cast<size_t>(MESH_LINE_SIZE) && !at_end) {
            std::memmove(block.data(), block.data() + pos, end - pos);
            end -= pos;
            pos = 0;
            size_t got = fread(block.data() + end, 1, block.size() - end, fp);
            end += got;
            at_end = got == 0 || ferror(fp);
        }
        if (pos == end) {
            return false;
        }
        size_t room = std::min(end - pos, static_cast<size_t>(MESH_LINE_SIZE - 1));
        const char *start = block.data() + pos;
        const char *nl = static_cast<const char *>(std::memchr(start, '\n', room));
        size_t n = nl != nullptr ? static_cast<size_t>(nl - start) + 1 : room;
        std::memcpy(piece, start, n);
        piece[n] = 0;
        pos += n;
        return true;
    }

  private:
    FILE *fp;
    std::vector<char> block;
    size_t pos = 0, end = 0;
    bool at_end = false;
};

// Reads a mesh data file into mesh, placing every vertex: scaled, then
// rotated, then moved. False after a message when the file cannot be read or
// is not valid; the caller then discards the mesh. Positions and normals go
// into the mesh's shared arrays as they are read, faces by index.
static bool load_mesh_data(Mesh *mesh, const char *fname, const Vector3 &pos, const Matrix4x4 &rot,
                           const Vector3 &scale)
{
    char buf[MESH_LINE_SIZE];

    FILE *fp = fopen(fname, "r");
    if (fp == nullptr) {
        fprintf(stderr, "failed to open mesh data file: %s: %s\n", fname, strerror(errno));
        return false;
    }
    LineReader reader(fp);

    bool valid = false;
    int prim = 0;
    if (reader.next(buf) && sscanf(buf, "MESH%d\n", &prim) == 1) {
        // Any count but 3 or 4 leaves the mesh without a face test, after
        // its own message: the file is then invalid.
        mesh->set_primitive(static_cast<MeshPrim>(prim));
        valid = mesh->has_face_test();
    }

    while (valid && reader.next(buf)) {
        char *line = strip_space(buf);
        if (line[0] == 0 || line[0] == '#') {
            continue;
        }
        if (line[0] == 'v' || line[0] == 'n') {
            float xyz[3];
            if (scan_vector_line(line, xyz) < 3) {
                valid = false;
                break;
            }
            if (line[0] == 'v') {
                Vector3 vec(xyz[0] * scale.x, xyz[1] * scale.y, xyz[2] * scale.z);
                vec.transform(rot);
                mesh->add_position(vec + pos);
            } else {
                Vector3 vec(xyz[0], xyz[1], xyz[2]);
                vec.transform(rot);
                mesh->add_normal(normalize(vec));
            }
        } else if (line[0] == 'f') {
            int idx[8];
            int res = scan_face_line(line, idx);
            if (res != 2 * prim) {
                valid = false;
                break;
            }
            // Indices count from 1 and reach back only to lines already read.
            uint32_t vidx[4], nidx[4];
            for (int i = 0; i < prim && valid; i++) {
                int v = idx[2 * i], n = idx[2 * i + 1];
                valid = v >= 1 && static_cast<size_t>(v) <= mesh->position_count() && n >= 1 &&
                        static_cast<size_t>(n) <= mesh->normal_count();
                vidx[i] = static_cast<uint32_t>(v - 1);
                nidx[i] = static_cast<uint32_t>(n - 1);
            }
            if (!valid) {
                break;
            }
            mesh->add_indexed_face(vidx, nidx);
        } else {
            valid = false;
        }
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

static Object *load_mesh(const char *line, const char *scene_file)
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
    if (!load_mesh_data(mesh, scene_relative_path(fname, scene_file).c_str(), pos, rot, scale)) {
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
    bool res = load(fp, fname);
    fclose(fp);
    return res;
}

bool Scene::load(FILE *fp, const char *fname)
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
                                        : load_mesh(line, fname);
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
