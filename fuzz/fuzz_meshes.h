#ifndef RT_FUZZ_MESHES_H
#define RT_FUZZ_MESHES_H

// The mesh data files that fuzzed scene lines can name, beside the scene: a
// triangle, a quad, a file with a bad line, a header only and a triangle
// with texture coordinates. The scene
// fuzzer writes them into its private folder, and the regression tests beside
// every scene they replay, so a saved input meets the same files.
struct FuzzMesh {
    const char *name;
    const char *text;
};

static const FuzzMesh kFuzzMeshes[] = {
    {"t.mesh", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 -1\nf 1/1 2/1 3/1\n"},
    {"q.mesh", "MESH4\nv -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nn 0 0 -1\nf 1/1 2/1 3/1 4/1\n"},
    {"bad.mesh", "MESH3\nv 0 0 0\nvt 0 0\n"},
    {"h.mesh", "MESH4\n"},
    {"tx.mesh", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 -1\nt 0 0\nt 1 0\nt -2 1e9\nf 1/1/1 2/1/2 3/1/3\n"},
};

// The scene line through which the mesh fuzzer loads its input, saved as
// in.mesh: scaled, rotated about a slanted axis and moved, with an emissive
// material so that a mesh with faces is a light and gets sampled.
static const char kFuzzMeshLine[] = "m in.mesh pos(1 2 3) rot(30 0.6 0 0.8) scale(2 1 0.5) "
                                    "kd(0.5 0.5 0.5) ks(0.2 0.2 0.2) s(10) kr(0) ke(1 1 1)\n";

#endif
