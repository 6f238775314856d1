#include "import_view.h"

#include <algorithm>
#include <cmath>

namespace
{

const double kPi = 3.141592653589793;
const int kGrid = 32;
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

Frame camera_frame(const RtCamera &camera)
{
    Frame f;
    Vec view = camera.target - camera.position;
    f.k = view / view.Length();
    f.i = Vec(0.0, 1.0, 0.0) ^ f.k;
    f.j = f.k ^ f.i;
    f.focal = 1.0 / std::tan(camera.fov * kPi / 360.0);
    return f;
}

// The ray parameter at which the segment from o along d meets the triangle
// a, b, c; not a number (or not above 0) when it misses.
double hit_triangle(const Vec &o, const Vec &d, const Vec &a, const Vec &b, const Vec &c)
{
    Vec e1 = b - a, e2 = c - a;
    Vec p = d ^ e2;
    double det = e1 * p;
    if (det == 0.0) {
        return NAN;
    }
    Vec s = o - a;
    double u = (s * p) / det;
    Vec q = s ^ e1;
    double v = (d * q) / det;
    if (!(u >= 0.0 && v >= 0.0 && u + v <= 1.0)) {
        return NAN;
    }
    return (e2 * q) / det;
}

// The grid cells, [first, last] in one axis, whose middles lie within
// picture coordinates lo to hi (-1 to 1 across the grid).
void cell_range(double lo, double hi, int *first, int *last)
{
    *first = std::max(0, static_cast<int>(std::ceil((lo + 1.0) * kGrid / 2.0 - 0.5)));
    *last = std::min(kGrid - 1, static_cast<int>(std::floor((hi + 1.0) * kGrid / 2.0 - 0.5)));
}

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

} // namespace

Coverage view_coverage(const RtCamera &camera, const std::vector<Polygon> &faces, double near)
{
    Frame f = camera_frame(camera);
    double ii = f.i * f.i, jj = f.j * f.j;
    // Each face is tested only by the rays of the cells its picture covers;
    // one wholly behind the camera by none, one that reaches behind it by
    // all: every ray runs forwards.
    std::vector<std::vector<unsigned>> cells(kGrid * kGrid);
    for (unsigned n = 0; n < faces.size(); n++) {
        const Polygon &poly = faces[n];
        double x_lo = INFINITY, x_hi = -INFINITY, y_lo = INFINITY, y_hi = -INFINITY;
        unsigned behind = 0;
        for (unsigned k = 0; k < poly.count; k++) {
            Vec q = poly.corner[k].pos - camera.position;
            double depth = q * f.k;
            if (!(depth > 0.0)) {
                behind++;
                continue;
            }
            double x = f.focal * (q * f.i) / (ii * depth), y = f.focal * (q * f.j) / (jj * depth);
            x_lo = std::min(x_lo, x);
            x_hi = std::max(x_hi, x);
            y_lo = std::min(y_lo, y);
            y_hi = std::max(y_hi, y);
        }
        if (behind == poly.count) {
            continue;
        }
        if (behind > 0) {
            x_lo = y_lo = -1.0;
            x_hi = y_hi = 1.0;
        }
        int c0, c1, r0, r1;
        cell_range(x_lo, x_hi, &c0, &c1);
        cell_range(y_lo, y_hi, &r0, &r1);
        for (int r = r0; r <= r1; r++) {
            for (int c = c0; c <= c1; c++) {
                cells[r * kGrid + c].push_back(n);
            }
        }
    }
    int front = 0, close = 0;
    for (int r = 0; r < kGrid; r++) {
        for (int c = 0; c < kGrid; c++) {
            double x = (2.0 * c + 1.0) / kGrid - 1.0, y = (2.0 * r + 1.0) / kGrid - 1.0;
            Vec dir = f.i * x + f.j * y + f.k * f.focal;
            double nearest = INFINITY;
            bool facing = false;
            for (unsigned n : cells[r * kGrid + c]) {
                const Polygon &poly = faces[n];
                for (unsigned t = 2; t < poly.count; t++) {
                    double hit = hit_triangle(camera.position, dir, poly.corner[0].pos, poly.corner[t - 1].pos,
                                              poly.corner[t].pos);
                    if (hit > 0.0 && hit < nearest) {
                        nearest = hit;
                        Vec normal;
                        for (unsigned k = 0; k < poly.count; k++) {
                            normal += poly.corner[k].norm;
                        }
                        facing = normal * dir < 0.0;
                    }
                }
            }
            front += facing ? 1 : 0;
            close += nearest * dir.Length() < near ? 1 : 0;
        }
    }
    Coverage seen;
    seen.front = front / static_cast<double>(kGrid * kGrid);
    seen.close = close / static_cast<double>(kGrid * kGrid);
    return seen;
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
    // the model's picture is centred, and framed again.
    for (int round = 0; round < 3; round++) {
        cam.position = cam.target + back;
        Frame f = camera_frame(cam);
        double distance = framing_distance(faces, cam.target, f);
        cam.position = cam.target + back * distance;
        Extent seen = picture_extent(faces, cam, f);
        // Moving the camera by s along i, whose length is |i|, moves a
        // point at depth D across the picture by s |i|^2 focal / (|i|^2 D).
        cam.target += f.i * ((seen.x_lo + seen.x_hi) / 2.0 * distance / f.focal) +
                      f.j * ((seen.y_lo + seen.y_hi) / 2.0 * distance / f.focal);
    }
    cam.position = cam.target + back;
    cam.position = cam.target + back * framing_distance(faces, cam.target, camera_frame(cam));
    return cam;
}
