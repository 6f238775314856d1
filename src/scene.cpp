#include "scene.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>
#include <typeinfo>
#include <cstring>
#include <memory>
#include <vector>

#include "accel/numerics.h"
#include "accel/scene_walk.h"
#include "light.h"
#include "matrix.h"
#include "mesh.h"
#include "files/mesh_text.h"
#include "files/number_scan.h"
#include "files/scene_path.h"
#include "plane.h"
#include "sphere.h"
#include "sphereflake.h"
#include "tasks/task_runner.h"
#include "texture/texture_set.h"

// Lines of a scene file are read into this many bytes, longer ones in pieces.
static const int SCENE_LINE_SIZE = 1024;
// Mesh data is read in windows of MESH_WINDOW_BLOCKS blocks for each
// thread, for at most MESH_WINDOW_THREADS of them: a block is read by one
// thread at a time, and a window is what is held at once. Its pages are
// written first by one thread, and it is held beside the blocks read from
// it, so no more of them than that.
static const size_t MESH_WINDOW_BLOCKS = 2;
static const int MESH_WINDOW_THREADS = 8;
// A block is a 32nd of the file, within these bounds: large blocks for a
// large file, so that the arrays a block is read into go on huge pages (see
// memory/huge_pages.h); small ones for a small file, so that it still
// spreads over the threads.
static const size_t MESH_BLOCK_LEAST = 1 << 20;
static const size_t MESH_BLOCK_MOST = 8 << 20;
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
    inputs.clear();
    textures.clear();
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

// ---- the scene's tree ----

namespace
{

// The kinds of object the scene's tree knows, each asked through its own
// routine, for the walk of accel/scene_walk.h.
struct SceneKinds {
    RT_ALWAYS_INLINE
    static bool ask(const Object *obj, SceneTree::Kind kind, const Ray &ray, const RaySlabs &slabs, IntInfo *rec)
    {
        switch (kind) {
        case SceneTree::SPHERE:
            return static_cast<const Sphere *>(obj)->intersection(ray, slabs, rec);
        case SceneTree::MESH:
            return static_cast<const Mesh *>(obj)->intersection(ray, slabs, rec);
        case SceneTree::FLAKE:
            return static_cast<const SphereFlake *>(obj)->intersection(ray, slabs, rec);
        default:
            return obj->intersection(ray, rec);
        }
    }
    static const Vector3 &sphere_center(const Object *obj) { return static_cast<const Sphere *>(obj)->center; }
    static double sphere_radius(const Object *obj) { return static_cast<const Sphere *>(obj)->radius; }
};

// Objects per leaf of the hierarchy, each testing its own box: up to two (a
// node's single-precision test is cheaper than a sphere's pre-test), and up
// to eight in scenes so big that the tree's memory matters more.
const int OBJECT_LEAF = 2;
const int BIG_SCENE_LEAF = 8;
const size_t BIG_SCENE = 100000;

bool usable_box(const BBox &b)
{
    const Vector3 *c[2] = {&b.min, &b.max};
    for (const Vector3 *v : c) {
        if (!(std::fabs(v->x) <= BIG_COORD && std::fabs(v->y) <= BIG_COORD && std::fabs(v->z) <= BIG_COORD)) {
            return false; // NaN fails too
        }
    }
    return b.min.x <= b.max.x && b.min.y <= b.max.y && b.min.z <= b.max.z;
}

void grow(BBox *box, const BBox &other)
{
    box->min.x = std::min(box->min.x, other.min.x);
    box->min.y = std::min(box->min.y, other.min.y);
    box->min.z = std::min(box->min.z, other.min.z);
    box->max.x = std::max(box->max.x, other.max.x);
    box->max.y = std::max(box->max.y, other.max.y);
    box->max.z = std::max(box->max.z, other.max.z);
}

// The largest magnitude of a coordinate of the box.
double largest_coord(const BBox &b)
{
    return std::max(max_abs(b.min), max_abs(b.max));
}

BBox pad_box(const BBox &b, double pad)
{
    return BBox(b.min - Vector3(pad, pad, pad), b.max + Vector3(pad, pad, pad));
}

// Says of objs[i] how the tree asks it, and notes its bounds in b; false
// for planes, unknown kinds and unusable boxes, which stay in the root's own
// list. Only these exact kinds are known to test their own box before
// anything else; a derived class may have changed that.
bool place_object(const Object *obj, SceneTree *b, size_t i, double *sphere_coord)
{
    const std::type_info &type = typeid(*obj);
    if (type == typeid(Sphere) || type == typeid(SphereFlake)) {
        if (!usable_box(obj->get_bbox())) {
            return false;
        }
        b->how[i] = type == typeid(Sphere) ? SceneTree::how_of(SceneTree::SPHERE, SceneTree::ASK_BARE_TAME)
                                           : SceneTree::how_of(SceneTree::FLAKE, SceneTree::ASK_BARE);
        *sphere_coord = std::max(*sphere_coord, largest_coord(obj->get_bbox()));
        if (type == typeid(Sphere)) {
            b->sphere_coord = std::max(b->sphere_coord, largest_coord(obj->get_bbox()));
            b->sphere_radius = std::max(b->sphere_radius, static_cast<const Sphere *>(obj)->radius);
        }
        return true;
    }
    if (type == typeid(Mesh)) {
        const Mesh *mesh = static_cast<const Mesh *>(obj);
        BBox reach;
        double origin_cap, reach_cap;
        if (!usable_box(mesh->get_bbox()) || !mesh->reach_bounds(&reach, &origin_cap, &reach_cap) ||
            !usable_box(reach)) {
            return false;
        }
        b->how[i] = SceneTree::how_of(SceneTree::MESH, SceneTree::ASK_BARE);
        b->origin_cap = std::min(b->origin_cap, origin_cap);
        b->reach_cap = std::min(b->reach_cap, reach_cap);
        return true;
    }
    if (type != typeid(Plane)) {
        b->unknown = true;
    }
    return false;
}

// The box of an object of the hierarchy, padded so that every hit of its
// own test lies inside for origins up to sphere_cap. A flake's inner
// spheres are smaller than its own, their centres lie within 3 r of its
// centre, and they lie within its box but for the rounding of their centres
// (a few eps per level, ten levels at most).
BBox tree_box(const Object *obj, SceneTree::Kind kind, double sphere_cap)
{
    BBox box = obj->get_bbox();
    if (kind == SceneTree::SPHERE) {
        const Sphere *s = static_cast<const Sphere *>(obj);
        return pad_box(box, sphere_slack(max_abs(s->center), s->radius, sphere_cap));
    }
    if (kind == SceneTree::FLAKE) {
        const SphereFlake *f = static_cast<const SphereFlake *>(obj);
        double coord = max_abs(f->center) + 3.0 * f->radius;
        double pad = sphere_slack(coord, f->radius, sphere_cap) + 64.0 * EPS * (coord + sphere_cap);
        return pad_box(box, pad);
    }
    const Mesh *mesh = static_cast<const Mesh *>(obj);
    double origin_cap, reach_cap;
    mesh->reach_bounds(&box, &origin_cap, &reach_cap);
    grow(&box, mesh->get_bbox());
    return box;
}

// A handful of objects is walked faster as a list: every object goes into
// the root's own list, in the scene's order, as the flat walk asks.
void list_all(SceneTree *b, BBoxNode *root, const std::vector<Object *> &objs, size_t count)
{
    std::vector<SceneTree::Entry> listed;
    for (size_t i = 0; i < count; i++) {
        unsigned char how = b->how[i];
        if (how == SceneTree::NOT_PLACED) {
            continue;
        }
        listed.push_back({objs[i], static_cast<int>(i), static_cast<SceneTree::Kind>(how >> 2),
                          static_cast<SceneTree::Ask>(how & 3)});
        b->how[i] = SceneTree::NOT_PLACED;
    }
    std::vector<SceneTree::Entry> merged;
    std::merge(b->loose.begin(), b->loose.end(), listed.begin(), listed.end(), std::back_inserter(merged),
               [](const SceneTree::Entry &x, const SceneTree::Entry &y) { return x.order < y.order; });
    b->loose.swap(merged);
    std::vector<unsigned char>().swap(b->how);
    root->clear_objects();
    for (const SceneTree::Entry &e : b->loose) {
        root->add_object(const_cast<Object *>(e.obj));
    }
}

} // namespace

// Fills the empty root with objs[0] .. objs[count - 1], in that order of
// precedence, under the scene's tree. Every object's calc_bbox must have
// run, and objs must outlive the root (it is read, not copied). The root's
// box keeps its role: a ray that misses it is answered false at once. The
// hierarchy is built on up to `threads` threads, and is the same whatever
// their number.
static void build_scene_tree(BBoxNode *root, const std::vector<Object *> &objs, size_t count, int threads)
{
    SceneTree *b = new SceneTree;
    root->set_tree(b);
    b->walker = walk_scene_tree<SceneKinds>;
    count = std::min(count, objs.size());
    b->objs = &objs;
    b->how.assign(count, SceneTree::NOT_PLACED);

    size_t placed = 0;
    double sphere_coord = 0.0;
    for (size_t i = 0; i < count; i++) {
        Object *obj = objs[i];
        if (place_object(obj, b, i, &sphere_coord)) {
            placed++;
            continue;
        }
        // Asked for every ray that meets the root, with a record for yes/no
        // questions.
        b->loose.push_back({obj, static_cast<int>(i), SceneTree::OTHER, SceneTree::ASK_WITH_RECORD});
        root->add_object(obj);
    }
    if (placed < 4) {
        list_all(b, root, objs, count);
        return;
    }

    double sphere_cap = sphere_origin_cap(sphere_coord);
    b->origin_cap = std::min(b->origin_cap, sphere_cap);
    // The objects in the hierarchy, named by their places in the scene's list.
    std::vector<WideTree::Item> items;
    items.reserve(placed);
    for (size_t i = 0; i < count; i++) {
        if (b->how[i] == SceneTree::NOT_PLACED) {
            continue;
        }
        BBox box = tree_box(objs[i], static_cast<SceneTree::Kind>(b->how[i] >> 2), sphere_cap);
        items.push_back(WideTree::Item{float_box(box.min, box.max), static_cast<uint32_t>(i)});
    }
    if (!b->tree.build(std::move(items), placed >= BIG_SCENE ? BIG_SCENE_LEAF : OBJECT_LEAF, 0.0, false,
                       WideTree::MAX_BINS, threads)) {
        // Not expected of the builder: every object is then asked in order.
        root->set_tree(nullptr);
        root->clear_objects();
        for (size_t i = 0; i < count; i++) {
            root->add_object(objs[i]);
        }
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
        build_scene_tree(bbroot, objects, count, threads);
    }
}

// The material that ends every object line, " kd(r g b) ks(r g b) s(e)
// kr(k) ke(r g b)", read from where the shape's own numbers end; false
// unless all eleven numbers are there. *end, when given, is where the last
// of them ends (the words after it name a mesh's pictures).
static bool read_material(const char *at, Material *mat, int *end = nullptr)
{
    float dr, dg, db, sr, sg, sb, specexp, kr, er, eg, eb;
    int last = 0;
    int res = sscanf(at, " kd(%f %f %f) ks(%f %f %f) s(%f) kr(%f) ke(%f %f %f%n)\n", &dr, &dg, &db, &sr, &sg, &sb,
                     &specexp, &kr, &er, &eg, &eb, &last);
    if (res < 11) {
        return false;
    }
    mat->kd = Color(dr, dg, db);
    mat->ks = Color(sr, sg, sb);
    mat->specexp = specexp;
    mat->kr = kr;
    mat->ke = Color(er, eg, eb);
    if (end != nullptr) {
        *end = last;
    }
    return true;
}

// Each shape's own numbers come first, read up to where its material
// begins (`shape`: -1 when they are not all there); the line then reads as
// one scan of the whole would, the material being the same eleven numbers
// on every line.
static Object *load_sphere(const char *line)
{
    float x, y, z, rad;
    int shape = -1;
    if (sscanf(line, "s c(%f %f %f) r(%f)%n", &x, &y, &z, &rad, &shape) < 4 || shape < 0) {
        return nullptr;
    }
    Material mat;
    if (!read_material(line + shape, &mat)) {
        return nullptr;
    }
    Object *sph = new Sphere(Vector3(x, y, z), rad);
    *sph->get_material() = mat;
    return sph;
}

static Object *load_plane(const char *line)
{
    float nx, ny, nz, dist;
    int shape = -1;
    if (sscanf(line, "p n(%f %f %f) d(%f)%n", &nx, &ny, &nz, &dist, &shape) < 4 || shape < 0) {
        return nullptr;
    }
    Material mat;
    if (!read_material(line + shape, &mat)) {
        return nullptr;
    }
    Object *plane = new Plane(Vector3(nx, ny, nz), dist);
    *plane->get_material() = mat;
    return plane;
}

static Object *load_sphflake(const char *line)
{
    float x, y, z, rad;
    int iter, shape = -1;
    if (sscanf(line, "f c(%f %f %f) r(%f) i(%d)%n", &x, &y, &z, &rad, &iter, &shape) < 5 || shape < 0) {
        return nullptr;
    }
    Material mat;
    if (!read_material(line + shape, &mat) || iter > MAX_FLAKE_DEPTH) {
        return nullptr;
    }
    Object *flake = create_sflake(Vector3(x, y, z), rad, iter);
    if (flake != nullptr) {
        *flake->get_material() = mat;
    }
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

// A file read in large blocks but handed out in the pieces fgets would give
// with a buffer of `piece` bytes: up to and including a newline, at most
// piece - 1 characters, each piece a line of its own. With a key, every byte
// read goes into it, in the file's order, as it is read.
class LineReader
{
  public:
    LineReader(FILE *fp, size_t piece, ContentHash *key) : fp(fp), piece(piece), key(key), block(1 << 16) {}

    // False at the end of the file or on a read error (see ferror).
    bool next(char *out)
    {
        if (end - pos < piece && !at_end) {
            std::memmove(block.data(), block.data() + pos, end - pos);
            end -= pos;
            pos = 0;
            fill(block.size());
        }
        if (pos == end) {
            return false;
        }
        size_t room = std::min(end - pos, piece - 1);
        const char *start = block.data() + pos;
        const char *nl = static_cast<const char *>(std::memchr(start, '\n', room));
        size_t n = nl != nullptr ? static_cast<size_t>(nl - start) + 1 : room;
        std::memcpy(out, start, n);
        out[n] = 0;
        pos += n;
        return true;
    }

    // Reads the rest of the file now, into memory: its bytes are then in the
    // key before those of any other file.
    void read_all()
    {
        while (key != nullptr && !at_end) {
            if (end == block.size()) {
                block.resize(block.size() * 2);
            }
            fill(block.size());
        }
    }

  private:
    void fill(size_t limit)
    {
        size_t got = fread(block.data() + end, 1, limit - end, fp);
        if (key != nullptr) {
            key->add(block.data() + end, got);
        }
        end += got;
        at_end = got == 0 || ferror(fp);
    }

    FILE *fp;
    size_t piece;
    ContentHash *key;
    std::vector<char> block;
    size_t pos = 0, end = 0;
    bool at_end = false;
};

namespace
{

// The part of a block of mesh data that is its own: its corners placed
// (scaled, then rotated, then moved), its normals turned, its faces' indices
// counted from 0, and what decides whether they reach only back to lines
// already read.
struct MeshBlock {
    bool valid;
    long long lines;
    long long least_index, position_excess, normal_excess, coord_excess; // see MeshText
    FaceKind face_kind;
    std::vector<Vector3> positions, normals;
    std::vector<float> coords;
    std::vector<uint32_t> pos_idx, norm_idx; // `corners` a face
    std::vector<uint32_t> coord_idx;         // `corners` a face, of faces with texture coordinates
};

void read_mesh_block(const char *text, size_t size, int corners, const Vector3 &pos, const Matrix4x4 &rot,
                     const Vector3 &scale, MeshBlock *block)
{
    // Room for as many numbers as the shortest lines would give ("v 1 2 3",
    // "f 1/1 2/2 3/3"), so that the arrays are never grown by copies. Pages
    // of it left unwritten cost no memory.
    MeshText t;
    t.positions.reserve(size / 8 * 3);
    t.normals.reserve(size / 8 * 3);
    t.corners.reserve(size / (4 * corners + 2) * 2 * corners);
    read_mesh_text(text, size, corners, &t);
    block->valid = t.valid;
    block->lines = t.lines;
    block->least_index = t.least_index;
    block->position_excess = t.position_excess;
    block->normal_excess = t.normal_excess;
    block->coord_excess = t.coord_excess;
    block->face_kind = t.face_kind;
    block->coords.swap(t.coords);
    block->positions.reserve(t.positions.size() / 3);
    for (size_t i = 0; i < t.positions.size(); i += 3) {
        Vector3 vec(t.positions[i] * scale.x, t.positions[i + 1] * scale.y, t.positions[i + 2] * scale.z);
        vec.transform(rot);
        block->positions.push_back(vec + pos);
    }
    block->normals.reserve(t.normals.size() / 3);
    for (size_t i = 0; i < t.normals.size(); i += 3) {
        Vector3 vec(t.normals[i], t.normals[i + 1], t.normals[i + 2]);
        vec.transform(rot);
        block->normals.push_back(normalize(vec));
    }
    // Wrapped round for indices below 1, which make the file invalid.
    block->pos_idx.reserve(t.corners.size() / 2);
    block->norm_idx.reserve(t.corners.size() / 2);
    for (size_t i = 0; i < t.corners.size(); i += 2) {
        block->pos_idx.push_back(static_cast<uint32_t>(t.corners[i]) - 1u);
        block->norm_idx.push_back(static_cast<uint32_t>(t.corners[i + 1]) - 1u);
    }
    block->coord_idx.reserve(t.corner_coords.size());
    for (int index : t.corner_coords) {
        block->coord_idx.push_back(static_cast<uint32_t>(index) - 1u);
    }
}

// Whether the block is valid, its indices reach only back to lines read
// before it and its faces are of the kind of those before it (*read of
// them, counted on past the block).
bool check_mesh_block(const MeshBlock &block, MeshCounts *read)
{
    if (!block.valid || block.least_index < 1 || block.position_excess > read->positions ||
        block.normal_excess > read->normals || block.coord_excess > read->coords ||
        (block.face_kind != read->face_kind && block.face_kind != FACES_NONE_YET &&
         read->face_kind != FACES_NONE_YET)) {
        return false;
    }
    read->positions += static_cast<long long>(block.positions.size());
    read->normals += static_cast<long long>(block.normals.size());
    read->coords += static_cast<long long>(block.coords.size() / 2);
    read->face_kind = block.face_kind != FACES_NONE_YET ? block.face_kind : read->face_kind;
    return true;
}

// Adds the blocks' lines to the mesh, in order, each block freed once added.
// The arrays are made at their full size at once: neither grown by copies nor
// shrunk after.
void add_mesh_blocks(Mesh *mesh, std::vector<MeshBlock> *blocks, int corners)
{
    size_t positions = 0, normals = 0, faces = 0;
    for (const MeshBlock &b : *blocks) {
        positions += b.positions.size();
        normals += b.normals.size();
        faces += b.pos_idx.size() / corners;
    }
    mesh->reserve(positions, normals, faces);
    for (MeshBlock &b : *blocks) {
        mesh->add_positions(b.positions.data(), b.positions.size());
        mesh->add_normals(b.normals.data(), b.normals.size());
        mesh->add_indexed_faces(b.pos_idx.data(), b.norm_idx.data(), b.pos_idx.size() / corners);
        mesh->add_texture_coords(b.coords.data(), b.coords.size() / 2);
        mesh->add_corner_coords(b.coord_idx.data(), b.coord_idx.size() / corners);
        b = MeshBlock();
    }
}

// Fills buf[*held, cap) from the file as far as it goes; *at_end once it
// ends or fails (see ferror). With a key, every byte read goes into it, in
// the file's order, as it is read.
void fill_window(FILE *fp, char *buf, size_t cap, size_t *held, bool *at_end, ContentHash *key)
{
    while (*held < cap && !*at_end) {
        size_t got = fread(buf + *held, 1, cap - *held, fp);
        if (key != nullptr) {
            key->add(buf + *held, got);
        }
        *held += got;
        *at_end = got == 0 || ferror(fp) || feof(fp);
    }
}

// How many bytes of the file a block holds: the file's length decides,
// where it has one (a pipe has none).
size_t mesh_block_bytes(FILE *fp)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        return MESH_BLOCK_LEAST;
    }
    const off_t share = st.st_size / 32;
    return share < static_cast<off_t>(MESH_BLOCK_LEAST)  ? MESH_BLOCK_LEAST
           : share > static_cast<off_t>(MESH_BLOCK_MOST) ? MESH_BLOCK_MOST
                                                         : static_cast<size_t>(share);
}

} // namespace

// A mesh data file that cannot be opened or read: its message (with the
// system's reason, errno), and in the key a mark in place of its bytes, so
// that a state notices when it can be read again. Always false.
static bool mesh_file_unreadable(const char *fname, ContentHash *key)
{
    static const char unreadable[] = "\0missing\0";
    fprintf(stderr, "failed to open mesh data file: %s: %s\n", fname, strerror(errno));
    if (key != nullptr) {
        key->add(unreadable, sizeof unreadable - 1);
    }
    return false;
}

// Reads a mesh data file into mesh, placing every vertex: scaled, then
// rotated, then moved. False after a message when the file cannot be read or
// is not valid; the caller then discards the mesh. The file is read a window
// at a time; each window is cut where pieces start into blocks of about
// mesh_block_bytes, read on up to `threads` threads and added to the mesh in
// order, so that the mesh is the same whatever the number of threads.
static bool load_mesh_data(Mesh *mesh, const char *fname, const Vector3 &pos, const Matrix4x4 &rot,
                           const Vector3 &scale, ContentHash *key, int threads, InputFiles *inputs)
{
    FILE *fp = fopen(fname, "r");
    if (fp == nullptr) {
        return mesh_file_unreadable(fname, key);
    }
    inputs->add(fp, fname, "mesh data file");
    // Not zeroed: the pages of a window that a small file leaves unread cost
    // no memory.
    const size_t block_bytes = mesh_block_bytes(fp);
    const size_t cap =
        block_bytes * MESH_WINDOW_BLOCKS * static_cast<size_t>(std::min(std::max(threads, 2), MESH_WINDOW_THREADS));
    std::unique_ptr<char[]> window(new char[cap]);
    size_t held = 0;
    bool at_end = false;
    fill_window(fp, window.get(), cap, &held, &at_end, key);

    bool valid = false;
    int prim = 0;
    size_t start = 0;
    // Where an invalid file goes wrong: the line and why.
    const bool empty = held == 0;
    long long lines = 0, fault_line = 1;
    const char *fault = "the first line is not MESH3 or MESH4";
    if (!ferror(fp) && held > 0) {
        char header[MESH_PIECE + 1];
        start = mesh_piece_length(window.get(), held);
        std::memcpy(header, window.get(), start);
        header[start] = 0;
        lines = header[start - 1] == '\n';
        if (sscanf(header, "MESH%d\n", &prim) == 1) {
            // Any count but 3 or 4 leaves the mesh without a face test, after
            // its own message: the file is then invalid.
            mesh->set_primitive(static_cast<MeshPrim>(prim));
            valid = mesh->has_face_test();
        }
    }

    // The blocks are kept until the file ends (their numbers take about as
    // much room as the mesh, less than its hierarchy will), and checked in
    // order as they come.
    std::vector<size_t> cuts;
    std::vector<MeshBlock> blocks;
    MeshCounts read;
    while (valid && !ferror(fp)) {
        // Whole pieces only, unless the file ends here.
        const char *text = window.get();
        size_t usable = at_end ? held : start + mesh_piece_boundary(text + start, held - start);
        cuts.assign(1, start);
        while (usable - cuts.back() > block_bytes) {
            cuts.push_back(cuts.back() + mesh_piece_boundary(text + cuts.back(), block_bytes));
        }
        cuts.push_back(usable);
        const size_t first = blocks.size();
        blocks.resize(first + cuts.size() - 1);
        run_tasks(cuts.size() - 1, threads, [&](size_t b) {
            read_mesh_block(text + cuts[b], cuts[b + 1] - cuts[b], prim, pos, rot, scale, &blocks[first + b]);
        });
        for (size_t b = first; b < blocks.size() && valid; b++) {
            valid = check_mesh_block(blocks[b], &read);
            lines += blocks[b].lines;
            if (!valid) {
                // Found again line by line, for the message: not on the way of a valid file.
                const size_t at = cuts[b - first];
                MeshFault f = find_mesh_fault(text + at, cuts[b - first + 1] - at, prim, read);
                fault_line = lines - blocks[b].lines + f.lines + 1;
                fault = f.reason;
            }
        }
        if (at_end) {
            break;
        }
        std::memmove(window.get(), text + usable, held - usable);
        held -= usable;
        start = 0;
        fill_window(fp, window.get(), cap, &held, &at_end, key);
    }
    // An invalid file is keyed by all of it, as a valid one is; the rest of
    // a regular file only (a device or a FIFO may never end).
    struct stat st;
    if (key != nullptr && !at_end && fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode)) {
        while (!at_end) {
            held = 0;
            fill_window(fp, window.get(), cap, &held, &at_end, key);
        }
    }
    window.reset();
    if (valid && !ferror(fp)) {
        add_mesh_blocks(mesh, &blocks, prim);
    }

    if (ferror(fp)) {
        // Opened but unreadable, a directory for instance.
        mesh_file_unreadable(fname, key);
        fclose(fp);
        return false;
    }
    fclose(fp);
    if (!valid) {
        if (empty || fault == nullptr) {
            fprintf(stderr, "failed to read mesh data file: %s: invalid format%s\n", fname,
                    empty ? ": the file is empty" : "");
        } else {
            fprintf(stderr, "failed to read mesh data file: %s: invalid format at line %lld: %s\n", fname, fault_line,
                    fault);
        }
        return false;
    }
    return true;
}

static Object *load_mesh(const char *line, const char *scene_file, FilesKey *key, int threads, InputFiles *inputs,
                         TextureSet *textures)
{
    char fname[SCENE_LINE_SIZE];
    float x, y, z, angle, rx, ry, rz, sx, sy, sz;
    int shape = -1, rest = 0;
    // A name cannot be longer than the line it stands on, so it always fits.
    if (sscanf(line, "m %1023s pos(%f %f %f) rot(%f %f %f %f) scale(%f %f %f)%n", fname, &x, &y, &z, &angle, &rx, &ry,
               &rz, &sx, &sy, &sz, &shape) < 11 ||
        shape < 0) {
        return nullptr;
    }
    // A line without its material reads no mesh data file.
    Material mat;
    if (!read_material(line + shape, &mat, &rest)) {
        return nullptr;
    }
    rest += shape;

    Vector3 pos(x, y, z);
    Vector3 scale(sx, sy, sz);
    Matrix4x4 rot;
    rot.set_rotation(Vector3(rx, ry, rz), angle * 3.141592653589793 / 180.0);

    Mesh *mesh = new Mesh(MESH_PRIM_TRI);
    const std::string path = scene_relative_path(fname, scene_file);
    bool loaded = load_mesh_data(mesh, path.c_str(), pos, rot, scale, key, threads, inputs);
    if (key != nullptr) {
        key->end_file("mesh data file " + path);
    }
    if (!loaded) {
        delete mesh;
        return nullptr;
    }
    *mesh->get_material() = mat;
    SurfaceMaps maps;
    if (textures->load_maps(line + rest, fname, mesh->has_texture_coords(), scene_file, key, inputs, &maps)) {
        mesh->set_maps(maps);
    }
    return mesh;
}

bool Scene::load(const char *fname, FilesKey *key)
{
    FILE *fp = fopen(fname, "r");
    if (fp == nullptr) {
        return false;
    }
    inputs.add(fp, fname, "scene file");
    bool res = load(fp, key, fname);
    fclose(fp);
    return res;
}

bool Scene::load(FILE *fp, FilesKey *key, const char *fname)
{
    // The file's bytes are all in the key once its first mesh line is read,
    // before the mesh's; or at its end.
    const std::string what = std::string("scene file ") + (fname != nullptr ? fname : "");
    bool ended = false;
    char line[SCENE_LINE_SIZE];
    // Wide enough for any file a disk can hold: an int would overflow past
    // 2^31 lines, which a file of 2 GiB of empty lines reaches.
    long long lnum = 0;
    LineReader reader(fp, SCENE_LINE_SIZE, key);

    while (reader.next(line)) {
        lnum++;
        char kind = line[0];
        if (kind == '\n' || kind == '#' || kind == '\r') {
            continue;
        }

        if (kind == 'm' && !ended) {
            // The key takes a scene file's bytes before those of its meshes.
            reader.read_all();
            if (key != nullptr) {
                key->end_file(what);
            }
            ended = true;
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
                                        : load_mesh(line, fname, key, threads, &inputs, &textures);
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
    if (key != nullptr) {
        if (!ended) {
            key->end_file(what);
        }
        key->add("\n", 1); // a boundary between files
    }
    // The end of the file is success; a read error (a directory, say) is not.
    return !ferror(fp);
}
