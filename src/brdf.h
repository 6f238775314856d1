#ifndef RT_BRDF_H
#define RT_BRDF_H

#include "vector.h"

// The diffuse cosine term: 0 below the surface.
double lambert(const Vector3 &indir, const Vector3 &n);
// The Phong lobe of indir's mirror image around outdir.
double phong(const Vector3 &indir, const Vector3 &outdir, const Vector3 &n, double specexp);
// A unit direction spread evenly over the hemisphere of n (not cosine
// weighted: the shader accepts it with probability lambert()).
Vector3 sample_lambert(const Vector3 &n);
// A unit direction from a cosine-power lobe around the mirror direction of
// outdir. Always exactly two draws.
Vector3 sample_phong(const Vector3 &outdir, const Vector3 &n, double specexp);

#endif
