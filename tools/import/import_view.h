// What a camera shows of a model: the share of its picture that meets the
// model's front, and the automatic camera that frames the whole model.
#ifndef RT_IMPORT_VIEW_H
#define RT_IMPORT_VIEW_H

#include <vector>

#include "import_camera_lights.h"
#include "import_geometry.h"
#include "import_rays.h"

// What a coarse grid of rays through rt's picture of a camera (32 x 32,
// through the middles of its cells) meets first: the share, from 0 to 1,
// of the rays that meet a face's front (the side its normals point to),
// of those that meet a face's back, and of those that meet any face nearer
// than near. A camera that looks away meets nothing; one shut in a part of
// the model meets it all round, close by, whichever way the part's normals
// point. Only what rt's rays
// reach counts, for the scene written scale times the model's size.
struct Coverage {
    double front = 0.0, back = 0.0, close = 0.0;
};
Coverage view_coverage(const RtCamera &camera, const FaceTree &tree, const std::vector<Polygon> &faces, double near,
                       double scale);

// Whether a camera outside the model's box cuts off part of the model:
// some corner of faces lies outside rt's picture (-1 to 1 across and up)
// or behind the camera. A camera inside the box looks round a room, which
// no picture holds whole.
bool view_crops(const RtCamera &camera, const std::vector<Polygon> &faces, const Box &box);

// How much light the lights give what a camera sees: the mean, over the
// same grid's rays that meet the model, of what a white surface there takes
// from them directly (the cosine to each light it sees, times the light's
// brightest channel, at most 1), from 0 to 1.
double view_lighting(const RtCamera &camera, const FaceTree &tree, const std::vector<Polygon> &faces,
                     const std::vector<RtLight> &lights, double scale);

// The lights of a model without its own that light it: a white key light of
// kKeyLight above and to the left of the camera, and a fill light of half
// that to its right, the key as far up as to the left, each as far along
// the picture's right and up as the camera is from its target: seen from
// the target, the key stands 55 degrees off the view and the fill 45. So
// shapes and contact shadows show, as under one light at the camera they
// do not.
// A light that would stand behind a face seen from the camera (a wall of the
// room the camera is in) comes nearer, in front of the face.
std::vector<RtLight> key_and_fill(const RtCamera &camera, const FaceTree &tree);

// The automatic camera. Its direction from the model: above the model and
// to the right of its front (+z in the model's own frame, -z in rt's), or
// for a flat model seen edge-on from there, the one of a few oblique ones
// that sees most of its surface face-on. Where the grid rays (see
// view_coverage) meet faces from behind a third of the time or more, as
// from outside a room, the one of 24 around the model whose rays meet the
// most faces from their front, if that is twice as many and a tenth of the
// grid more. It looks at the middle of the model's picture from as far as
// lets every corner of faces lie within the middle 85 % of rt's picture,
// across and up.
RtCamera framing_camera(const std::vector<Polygon> &faces, const Box &box, const FaceTree &tree, double scale);

#endif
