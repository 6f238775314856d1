#include "import_view.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace
{

const double kPi = 3.141592653589793;
const int kGrid = 32;
// The span of a primary ray's parameter, in units of its direction before
// rt lengthens it 10000 times, within which rt sees a surface.
const std::pair<double, double> kRayReach(0.01, 10000.0);
// The part of the picture, across and up, that the automatic camera fills.
const double kFill = 0.85;
// The automatic camera's field of view, degrees.
const double kFov = 45.0;

// rt's camera frame: the view k, and i and j, right and up, each as long as
// the sine of the angle between the view and +y (rt does not make them unit
// length), with focal the distance of the picture plane for a picture from
// -1 to 1 both ways.
struct Frame {
    Vec i, j, k;
    double focal;
};

// The frame of a camera looking along view.
Frame frame_along(const Vec &view, double fov)
{
    Frame f;
    f.k = view / view.Length();
    f.i = Vec(0.0, 1.0, 0.0) ^ f.k;
    f.j = f.k ^ f.i;
    f.focal = 1.0 / std::tan(fov * kPi / 360.0);
    return f;
}

Frame camera_frame(const RtCamera &camera)
{
    return frame_along(camera.target - camera.position, camera.fov);
}

// A face's normal: the mean of its corners'.
Vec face_normal(const Polygon &poly)
{
    Vec sum;
    for (unsigned k = 0; k < poly.count; k++) {
        sum += poly.corner[k].norm;
    }
    return sum / sum.Length();
}

// A grid ray of a camera's picture, its direction before rt lengthens it,
// and what it meets first.
struct GridHit {
    Vec dir;
    FaceTree::Hit at;
};

// Calls f with every corner of faces, or with every point of a sample.
template <typename F> void for_each_point(const std::vector<Polygon> &faces, F f)
{
    for (const Polygon &poly : faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            f(poly.corner[k].pos);
        }
    }
}

template <typename F> void for_each_point(const std::vector<Vec> &points, F f)
{
    for (const Vec &p : points) {
        f(p);
    }
}

// The points as they show in a camera's picture: x from x_lo to x_hi, y
// from y_lo to y_hi (-1 to 1 spans the picture), for points in front of
// the camera.
struct Extent {
    double x_lo = INFINITY, x_hi = -INFINITY, y_lo = INFINITY, y_hi = -INFINITY;
};

template <typename Points> Extent picture_extent(const Points &points, const RtCamera &cam, const Frame &f)
{
    Extent e;
    double ii = f.i * f.i, jj = f.j * f.j;
    for_each_point(points, [&](const Vec &p) {
        Vec q = p - cam.position;
        double depth = q * f.k;
        if (depth > 0.0) {
            double x = f.focal * (q * f.i) / (ii * depth), y = f.focal * (q * f.j) / (jj * depth);
            e.x_lo = std::min(e.x_lo, x);
            e.x_hi = std::max(e.x_hi, x);
            e.y_lo = std::min(e.y_lo, y);
            e.y_hi = std::max(e.y_hi, y);
        }
    });
    return e;
}

// How far from target, against the view of frame f, a camera must stand
// for every point to show within kFill of the picture's middle. A point at
// a from the target shows at x = focal (a.i) / (|i|^2 (a.k + D)) for the
// camera at D: D follows from |x| <= kFill, and likewise up.
template <typename Points> double framing_distance(const Points &points, const Vec &target, const Frame &f)
{
    double ii = f.i * f.i, jj = f.j * f.j, distance = 0.0;
    for_each_point(points, [&](const Vec &p) {
        Vec a = p - target;
        double across = f.focal * std::fabs(a * f.i) / (ii * kFill);
        double upward = f.focal * std::fabs(a * f.j) / (jj * kFill);
        distance = std::max(distance, std::max(across, upward) - a * f.k);
    });
    return distance > 0.0 ? distance : 1.0; // 1 for a model of one point
}

// The camera that looks at the model from direction back (from the model
// to the camera), framed by points.
template <typename Points> RtCamera framed_from(const Points &points, const Box &box, const Vec &back)
{
    RtCamera cam;
    cam.fov = kFov;
    cam.target = box.centre();
    // Framed from the middle of the box, then moved across the view until
    // the model's picture is centred, and framed again. The frame is taken
    // from the direction itself: a step of one unit from a target far from
    // the origin (1e38 away) would be lost in its rounding.
    Frame f = frame_along(-back, kFov);
    for (int round = 0; round < 3; round++) {
        double distance = framing_distance(points, cam.target, f);
        cam.position = cam.target + back * distance;
        Extent seen = picture_extent(points, cam, f);
        // Moving the camera by s along i, whose length is |i|, moves a
        // point at depth D across the picture by s |i|^2 focal / (|i|^2 D).
        cam.target += f.i * ((seen.x_lo + seen.x_hi) / 2.0 * distance / f.focal) +
                      f.j * ((seen.y_lo + seen.y_hi) / 2.0 * distance / f.focal);
    }
    cam.position = cam.target + back * framing_distance(points, cam.target, f);
    return cam;
}

// Points enough to frame the model by when choosing among the automatic
// camera's directions: every corner of a small model, an even sample of a
// large one's. The choice does not need the exact frame.
std::vector<Vec> framing_sample(const std::vector<Polygon> &faces)
{
    const size_t most = 20000;
    std::vector<Vec> sample;
    size_t step = faces.size() / most + 1;
    for (size_t f = 0; f < faces.size(); f += step) {
        for (unsigned k = 0; k < faces[f].count; k++) {
            sample.push_back(faces[f].corner[k].pos);
        }
    }
    return sample;
}

// What the grid rays of a camera's picture meet, within rt's reach.
std::vector<GridHit> grid_hits(const RtCamera &camera, const FaceTree &tree, double scale)
{
    Frame f = camera_frame(camera);
    // rt's primary ray is the direction below times 10000, and meets what
    // lies from 1e-6 to 1 of it: here, from 0.01 to 10000 of the direction,
    // in the scene as written.
    double first = kRayReach.first / scale, last = kRayReach.second / scale;
    std::vector<GridHit> hits;
    for (int r = 0; r < kGrid; r++) {
        for (int c = 0; c < kGrid; c++) {
            double x = (2.0 * c + 1.0) / kGrid - 1.0, y = (2.0 * r + 1.0) / kGrid - 1.0;
            GridHit hit;
            hit.dir = f.i * x + f.j * y + f.k * f.focal;
            if (tree.nearest(camera.position, hit.dir, first, last, &hit.at)) {
                hits.push_back(hit);
            }
        }
    }
    return hits;
}

} // namespace

Coverage view_coverage(const RtCamera &camera, const FaceTree &tree, const std::vector<Polygon> &faces, double near,
                       double scale)
{
    Coverage seen;
    for (const GridHit &hit : grid_hits(camera, tree, scale)) {
        bool front = face_normal(faces[hit.at.face]) * hit.dir < 0.0;
        seen.front += front ? 1.0 : 0.0;
        seen.back += front ? 0.0 : 1.0;
        seen.close += hit.at.t * hit.dir.Length() < near ? 1.0 : 0.0;
    }
    seen.front /= kGrid * kGrid;
    seen.back /= kGrid * kGrid;
    seen.close /= kGrid * kGrid;
    return seen;
}

bool view_crops(const RtCamera &camera, const std::vector<Polygon> &faces, const Box &box)
{
    const Vec &p = camera.position;
    if (p.x >= box.lo.x && p.x <= box.hi.x && p.y >= box.lo.y && p.y <= box.hi.y && p.z >= box.lo.z &&
        p.z <= box.hi.z) {
        return false;
    }
    Frame f = camera_frame(camera);
    bool behind = false;
    for_each_point(faces, [&](const Vec &corner) { behind = behind || (corner - p) * f.k <= 0.0; });
    Extent seen = picture_extent(faces, camera, f);
    return behind || seen.x_lo < -1.0 || seen.x_hi > 1.0 || seen.y_lo < -1.0 || seen.y_hi > 1.0;
}

double view_lighting(const RtCamera &camera, const FaceTree &tree, const std::vector<Polygon> &faces,
                     const std::vector<RtLight> &lights, double scale)
{
    std::vector<GridHit> hits = grid_hits(camera, tree, scale);
    double sum = 0.0;
    for (const GridHit &hit : hits) {
        Vec p = camera.position + hit.dir * hit.at.t;
        Vec n = face_normal(faces[hit.at.face]);
        n = n * hit.dir > 0.0 ? -n : n; // rt shades the side the ray meets
        double light = 0.0;
        for (const RtLight &l : lights) {
            Vec to = l.position - p;
            double facing = (n * to) / to.Length();
            // Not up to the light itself, nor back onto the face the point
            // lies on.
            if (facing > 0.0 && !tree.any(p, to, 1e-4, 1.0 - 1e-4)) {
                light += facing * max_channel(l.colour);
            }
        }
        sum += std::min(light, 1.0);
    }
    return hits.empty() ? 0.0 : sum / hits.size();
}

std::vector<RtLight> key_and_fill(const RtCamera &camera, const FaceTree &tree)
{
    Frame f = camera_frame(camera);
    Vec right = f.i / f.i.Length(), up = f.j / f.j.Length();
    double reach = (camera.target - camera.position).Length();
    // The fill lightens the key's shadows; as strong as the key, it would
    // flatten the shading the key gives.
    const struct {
        Vec way;
        double strength;
    } placed[] = {{up - right, kKeyLight}, {right, kKeyLight / 2.0}};
    std::vector<RtLight> lights;
    for (const auto &light : placed) {
        Vec to = light.way * reach;
        FaceTree::Hit hit;
        // Before the face in the way, a tenth of the way short of it.
        double t = tree.nearest(camera.position, to, 1e-6, 1.0, &hit) ? hit.t * 0.9 : 1.0;
        lights.push_back({camera.position + to * t, Vec(light.strength, light.strength, light.strength)});
    }
    return lights;
}

namespace
{

// The direction from the model that sees most of its surface face-on, of
// ways: the first unless another sees three times as much (a flat model
// seen edge-on shows nothing).
Vec most_face_on(const std::vector<Polygon> &faces, const std::vector<Vec> &ways)
{
    std::vector<double> seen(ways.size(), 0.0);
    for (const Polygon &poly : faces) {
        Vec area;
        for (unsigned t = 2; t < poly.count; t++) {
            area += (poly.corner[t - 1].pos - poly.corner[0].pos) ^ (poly.corner[t].pos - poly.corner[0].pos);
        }
        for (size_t w = 0; w < ways.size(); w++) {
            seen[w] += std::fabs(area * ways[w]);
        }
    }
    size_t best = std::max_element(seen.begin(), seen.end()) - seen.begin();
    return seen[0] * 3.0 >= seen[best] ? ways[0] : ways[best];
}

// Directions from the model to the camera, in rt's frame, at heights up
// degrees and round degrees round from the front to the right.
std::vector<Vec> directions(std::initializer_list<double> ups, std::initializer_list<double> rounds)
{
    std::vector<Vec> ways;
    for (double up : ups) {
        for (double round : rounds) {
            double a = round * kPi / 180.0, e = up * kPi / 180.0;
            ways.push_back(Vec(std::sin(a) * std::cos(e), std::sin(e), -std::cos(a) * std::cos(e)));
        }
    }
    return ways;
}

} // namespace

RtCamera framing_camera(const std::vector<Polygon> &faces, const Box &box, const FaceTree &tree, double scale)
{
    // The first direction is preferred: a quarter of the way round from the
    // front to the right and a little above. The others go round the model
    // at that height and higher, for a flat model; lower too, to look into
    // a room through its open side.
    std::vector<Vec> oblique = directions({25.0, 60.0}, {35.0, -35.0, 145.0, -145.0});
    std::vector<Vec> ways = oblique, level = directions({25.0, 10.0, 60.0}, {0.0, 90.0, -90.0, 180.0}),
                     low = directions({10.0}, {35.0, -35.0, 145.0, -145.0});
    ways.insert(ways.end(), level.begin(), level.end());
    ways.insert(ways.end(), low.begin(), low.end());

    Vec back = most_face_on(faces, oblique);
    std::vector<Vec> sample = framing_sample(faces);
    Coverage seen = view_coverage(framed_from(sample, box, back), tree, faces, 0.0, scale);
    // A room seen from outside meets the backs of its walls: with a third of
    // what it meets so, the direction that meets most faces from their front
    // is taken when it meets twice as many, and a tenth of the grid more (a
    // model whose faces all face inwards meets few from any side).
    if (seen.back >= seen.front / 2.0) {
        double most = 0.0;
        Vec best;
        for (const Vec &way : ways) {
            double front = view_coverage(framed_from(sample, box, way), tree, faces, 0.0, scale).front;
            if (front > most) {
                most = front;
                best = way;
            }
        }
        if (most >= 2.0 * seen.front && most >= seen.front + 0.1) {
            back = best;
        }
    }
    return framed_from(faces, box, back);
}
