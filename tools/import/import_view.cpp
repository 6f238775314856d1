#include "import_view.h"

#include <algorithm>
#include <cmath>
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

// The corners of faces as they show in a camera's picture: x from x_lo to
// x_hi, y from y_lo to y_hi (-1 to 1 spans the picture), for corners in
// front of the camera.
struct Extent {
    double x_lo = INFINITY, x_hi = -INFINITY, y_lo = INFINITY, y_hi = -INFINITY;
};

Extent picture_extent(const std::vector<Polygon> &faces, const RtCamera &cam, const Frame &f)
{
    Extent e;
    double ii = f.i * f.i, jj = f.j * f.j;
    for (const Polygon &poly : faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            Vec q = poly.corner[k].pos - cam.position;
            double depth = q * f.k;
            if (depth > 0.0) {
                double x = f.focal * (q * f.i) / (ii * depth), y = f.focal * (q * f.j) / (jj * depth);
                e.x_lo = std::min(e.x_lo, x);
                e.x_hi = std::max(e.x_hi, x);
                e.y_lo = std::min(e.y_lo, y);
                e.y_hi = std::max(e.y_hi, y);
            }
        }
    }
    return e;
}

// How far from target, against the view of frame f, a camera must stand
// for every corner of faces to show within kFill of the picture's middle.
// A corner at a from the target shows at x = focal (a.i) / (|i|^2 (a.k +
// D)) for the camera at D: D follows from |x| <= kFill, and likewise up.
double framing_distance(const std::vector<Polygon> &faces, const Vec &target, const Frame &f)
{
    double ii = f.i * f.i, jj = f.j * f.j, distance = 0.0;
    for (const Polygon &poly : faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            Vec a = poly.corner[k].pos - target;
            double across = f.focal * std::fabs(a * f.i) / (ii * kFill);
            double upward = f.focal * std::fabs(a * f.j) / (jj * kFill);
            distance = std::max(distance, std::max(across, upward) - a * f.k);
        }
    }
    return distance > 0.0 ? distance : 1.0; // 1 for a model of one point
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
        seen.front += face_normal(faces[hit.at.face]) * hit.dir < 0.0 ? 1.0 : 0.0;
        seen.close += hit.at.t * hit.dir.Length() < near ? 1.0 : 0.0;
    }
    seen.front /= kGrid * kGrid;
    seen.close /= kGrid * kGrid;
    return seen;
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

RtCamera framing_camera(const std::vector<Polygon> &faces, const Box &box)
{
    // Directions from the model to the camera, in rt's frame, the first
    // preferred: a quarter of the way round from the front to the right
    // and a little above, then the others round the model and higher.
    std::vector<Vec> ways;
    for (double up : {25.0, 60.0}) {
        for (double round : {35.0, -35.0, 145.0, -145.0}) {
            double a = round * kPi / 180.0, e = up * kPi / 180.0;
            ways.push_back(Vec(std::sin(a) * std::cos(e), std::sin(e), -std::cos(a) * std::cos(e)));
        }
    }
    // How much of the model's surface each direction sees face-on: a flat
    // model seen edge-on shows nothing. The first direction is kept unless
    // another sees three times as much.
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
    Vec back = seen[0] * 3.0 >= seen[best] ? ways[0] : ways[best];

    RtCamera cam;
    cam.fov = kFov;
    cam.target = box.centre();
    // Framed from the middle of the box, then moved across the view until
    // the model's picture is centred, and framed again. The frame is taken
    // from the direction itself: a step of one unit from a target far from
    // the origin (1e38 away) would be lost in its rounding.
    Frame f = frame_along(-back, kFov);
    for (int round = 0; round < 3; round++) {
        double distance = framing_distance(faces, cam.target, f);
        cam.position = cam.target + back * distance;
        Extent seen = picture_extent(faces, cam, f);
        // Moving the camera by s along i, whose length is |i|, moves a
        // point at depth D across the picture by s |i|^2 focal / (|i|^2 D).
        cam.target += f.i * ((seen.x_lo + seen.x_hi) / 2.0 * distance / f.focal) +
                      f.j * ((seen.y_lo + seen.y_hi) / 2.0 * distance / f.focal);
    }
    cam.position = cam.target + back * framing_distance(faces, cam.target, f);
    return cam;
}
