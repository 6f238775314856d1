// Rays against a model's faces, for what rt-import works out about a view
// before the scene is written: what a camera sees and what the lights reach.
#ifndef RT_IMPORT_RAYS_H
#define RT_IMPORT_RAYS_H

#include <vector>

#include "import_common.h"
#include "import_geometry.h"

// The faces as triangles (a quad as two) in a bounding volume hierarchy.
class FaceTree
{
  public:
    explicit FaceTree(const std::vector<Polygon> &faces);

    struct Hit {
        double t = 0.0;
        unsigned face = 0; // index into the faces the tree was made of
    };
    // The nearest hit of o + t d with t from lo to hi; false when none.
    bool nearest(const Vec &o, const Vec &d, double lo, double hi, Hit *hit) const;
    // Whether anything is hit with t from lo to hi.
    bool any(const Vec &o, const Vec &d, double lo, double hi) const;

  private:
    struct Triangle {
        Vec a, b, c;
        unsigned face;
    };
    struct Node {
        Vec lo, hi;
        unsigned first = 0, count = 0; // triangles of a leaf; count 0: children at first and first + 1
    };
    void build(unsigned first, unsigned count, unsigned index);
    // Walks the tree; stop says, for a hit at t, whether to end the walk.
    template <typename Stop> void walk(const Vec &o, const Vec &d, double lo, double *hi, Stop stop) const;

    std::vector<Triangle> triangles;
    std::vector<Node> nodes;
};

#endif
