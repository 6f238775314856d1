#include "brdf.h"

#include <cmath>

#include "matrix.h"
#include "sampling/random.h"

double lambert(const Vector3 &indir, const Vector3 &n)
{
    double d = dot(n, indir);
    return d < 0.0 ? 0.0 : d;
}

double phong(const Vector3 &indir, const Vector3 &outdir, const Vector3 &n, double specexp)
{
    Vector3 refindir = reflect(indir, n);
    double s = dot(refindir, outdir);
    if (s < 0.0) {
        return 0.0;
    }
    return std::pow(s, specexp);
}

Vector3 sample_lambert(const Vector3 &n)
{
    Vector3 rnd_dir = random_direction();
    // A direction exactly in the tangent plane stays as drawn.
    if (dot(rnd_dir, n) < 0.0) {
        return -rnd_dir;
    }
    return rnd_dir;
}

Vector3 sample_phong(const Vector3 &outdir, const Vector3 &n, double specexp)
{
    Matrix4x4 mat;
    Vector3 ldir = normalize(outdir);
    Vector3 ref = reflect(ldir, n);
    double ndotl = dot(ldir, n);

    // A local frame whose y axis is the lobe axis. Looking along the normal
    // the mirror direction is the normal itself and the frame stays the
    // world's axes, so the lobe then leans on +y.
    if (1.0 - ndotl > 1e-6) {
        Vector3 ivec, jvec, kvec;
        if (std::fabs(ndotl) < 1e-6) {
            kvec = -normalize(ldir);
            jvec = n;
            ivec = cross(jvec, kvec);
        } else {
            ivec = normalize(cross(ldir, ref));
            jvec = ref;
            kvec = cross(ref, ivec);
        }
        mat.matrix[0][0] = ivec.x;
        mat.matrix[1][0] = ivec.y;
        mat.matrix[2][0] = ivec.z;
        mat.matrix[0][1] = jvec.x;
        mat.matrix[1][1] = jvec.y;
        mat.matrix[2][1] = jvec.z;
        mat.matrix[0][2] = kvec.x;
        mat.matrix[1][2] = kvec.y;
        mat.matrix[2][2] = kvec.z;
    }

    double rnd1 = random_unit();
    double rnd2 = random_unit();
    double phi = std::acos(std::pow(rnd1, 1.0 / (specexp + 1.0)));
    double theta = rnd2 * 6.283185307179586;

    Vector3 v(std::cos(theta) * std::sin(phi), std::cos(phi), std::sin(theta) * std::sin(phi));
    v.transform(mat);
    return v;
}
