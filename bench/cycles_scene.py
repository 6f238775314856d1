"""Builds an rt scene file's scene in Blender and renders it with Cycles.

    blender -b --factory-startup -P bench/cycles_scene.py -- SCENE SAMPLES SIZE OUT [NOISE [CLAMP]]

Run from the folder of SCENE (mesh data files are named relative to it). The
scene is what rt renders, as near as Cycles allows: the same camera (rt's
left-handed x right, y up, z forward becomes Blender's x, z, y), spheres and
sphere flakes as fine UV spheres, planes as large squares, mesh data files
as meshes placed the same way (scaled, rotated, moved), point lights of
radius 0 with constant falloff, a diffuse plus glossy material with
emission, four bounces after the primary hit (rt's depth of five), SAMPLES
samples a pixel on two threads, no denoising, no adaptive sampling. Prints
"cycles seconds: T" (the render alone, without building the scene).

OUT ending in .pfm gets the linear colours as a float map (as rt writes
one), any other name a PNG of the colours as they are. NOISE, when above 0,
turns adaptive sampling on with that noise threshold (SAMPLES the most a
pixel gets); CLAMP, when above 0, caps every sample's direct and indirect
light at that value, as rt caps every path at 1.
"""
import math
import os
import re
import struct
import sys
import time

import bpy
from mathutils import Vector

NUM = r"([-+0-9.eE]+)"


def nums(text, key, n):
    m = re.search(r"\b" + key + r"\(" + r"\s*".join([NUM] * n) + r"\)", text)
    return [float(x) for x in m.groups()] if m else None


def to_blender(v):
    return Vector((v[0], v[2], v[1]))


def material(text):
    kd, ks = nums(text, "kd", 3), nums(text, "ks", 3)
    s, ke = nums(text, "s", 1), nums(text, "ke", 3)
    mat = bpy.data.materials.new("m")
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    nodes.clear()
    out = nodes.new("ShaderNodeOutputMaterial")
    diffuse = nodes.new("ShaderNodeBsdfDiffuse")
    diffuse.inputs["Color"].default_value = (*kd, 1.0)
    shader = diffuse.outputs[0]
    if ks and max(ks) > 0.0:
        glossy = nodes.new("ShaderNodeBsdfGlossy")
        glossy.inputs["Color"].default_value = (*ks, 1.0)
        # A Phong exponent s as a roughness of about the same lobe width.
        glossy.inputs["Roughness"].default_value = math.sqrt(2.0 / (s[0] + 2.0))
        add = nodes.new("ShaderNodeAddShader")
        links.new(shader, add.inputs[0])
        links.new(glossy.outputs[0], add.inputs[1])
        shader = add.outputs[0]
    if ke and max(ke) > 0.0:
        emit = nodes.new("ShaderNodeEmission")
        emit.inputs["Color"].default_value = (*ke, 1.0)
        add = nodes.new("ShaderNodeAddShader")
        links.new(shader, add.inputs[0])
        links.new(emit.outputs[0], add.inputs[1])
        shader = add.outputs[0]
    links.new(shader, out.inputs["Surface"])
    return mat


def add_mesh(name, verts, faces, mat, smooth):
    me = bpy.data.meshes.new(name)
    me.from_pydata(verts, [], faces)
    me.update()
    if smooth:
        me.polygons.foreach_set("use_smooth", [True] * len(me.polygons))
    me.materials.append(mat)
    obj = bpy.data.objects.new(name, me)
    bpy.context.scene.collection.objects.link(obj)


def sphere_mesh(segments=64, rings=32):
    """A unit UV sphere, once; every sphere is a linked copy, placed."""
    verts = [(0.0, 0.0, 1.0)]
    for r in range(1, rings):
        t = math.pi * r / rings
        for s in range(segments):
            p = 2.0 * math.pi * s / segments
            verts.append((math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t)))
    verts.append((0.0, 0.0, -1.0))
    faces = []
    for s in range(segments):
        faces.append((0, 1 + s, 1 + (s + 1) % segments))
    for r in range(rings - 2):
        a, b = 1 + r * segments, 1 + (r + 1) * segments
        for s in range(segments):
            faces.append((a + s, b + s, b + (s + 1) % segments, a + (s + 1) % segments))
    last = len(verts) - 1
    base = 1 + (rings - 2) * segments
    for s in range(segments):
        faces.append((base + s, last, base + (s + 1) % segments))
    me = bpy.data.meshes.new("sphere")
    me.from_pydata(verts, [], faces)
    me.polygons.foreach_set("use_smooth", [True] * len(me.polygons))
    me.update()
    return me


SPHERE = None


def add_sphere(c, r, mat):
    global SPHERE
    if SPHERE is None:
        SPHERE = sphere_mesh()
        SPHERE.materials.append(None)  # one slot, filled by each object
    obj = bpy.data.objects.new("s", SPHERE)
    obj.location = to_blender(c)
    obj.scale = (r, r, r)
    bpy.context.scene.collection.objects.link(obj)
    obj.material_slots[0].link = "OBJECT"
    obj.material_slots[0].material = mat


def add_flake(c, r, depth, mat):
    if depth <= 0:
        return
    add_sphere(c, r, mat)
    for o in ((1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)):
        d = r + r * 0.5
        add_flake([c[i] + o[i] * d for i in range(3)], r * 0.5, depth - 1, mat)


def rotation(axis, angle):
    x, y, z = axis
    s, c = math.sin(angle), math.cos(angle)
    i = 1.0 - c
    return [[(1 - x * x) * c + x * x, x * y * i - z * s, x * z * i + y * s],
            [x * y * i + z * s, (1 - y * y) * c + y * y, y * z * i - x * s],
            [x * z * i - y * s, y * z * i + x * s, (1 - z * z) * c + z * z]]


def load_mesh(line):
    fname = line.split()[1]
    pos, rot, scale = nums(line, "pos", 3), nums(line, "rot", 4), nums(line, "scale", 3)
    m = rotation(rot[1:], rot[0] * math.pi / 180.0)
    verts, faces = [], []
    with open(fname) as f:
        corners = int(f.readline().strip()[4:])
        for raw in f:
            w = raw.split()
            if not w or w[0].startswith("#"):
                continue
            if w[0] == "v":
                v = [float(w[1]) * scale[0], float(w[2]) * scale[1], float(w[3]) * scale[2]]
                v = [sum(m[r][k] * v[k] for k in range(3)) + pos[r] for r in range(3)]
                verts.append(tuple(to_blender(v)))
            elif w[0] == "f":
                # rt's faces turn the other way once two axes are swapped.
                faces.append(tuple(int(p.split("/")[0]) - 1 for p in reversed(w[1:1 + corners])))
    add_mesh(fname, verts, faces, material(line), True)


def write_pfm(exr, out):
    """The colours of an OpenEXR file as a float map: little-endian 32-bit
    floats, rows bottom to top (Blender's order too)."""
    image = bpy.data.images.load(exr)
    w, h = image.size
    rgba = list(image.pixels)
    rgb = [rgba[i] for i in range(len(rgba)) if i % 4 != 3]
    with open(out, "wb") as f:
        f.write(b"PF\n%d %d\n-1.0\n" % (w, h))
        f.write(struct.pack("<%df" % len(rgb), *rgb))


def main():
    args = sys.argv[sys.argv.index("--") + 1:]
    scene_file, samples, size, out = args[:4]
    noise = float(args[4]) if len(args) > 4 else 0.0
    clamp = float(args[5]) if len(args) > 5 else 0.0
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    world = bpy.data.worlds.new("black")
    world.color = (0.0, 0.0, 0.0)
    scene.world = world
    for line in open(scene_file):
        kind = line[:1]
        if kind == "c":
            p, t, fov = nums(line, "p", 3), nums(line, "t", 3), nums(line, "fov", 1)
            cam = bpy.data.cameras.new("cam")
            # rt's image plane is spanned by cross(up, d) and cross(d, that),
            # left unnormalised: a camera tilted up or down by an angle a sees
            # a view narrower by cos(a), both across and up.
            d = [t[i] - p[i] for i in range(3)]
            tilt_cos = math.hypot(d[0], d[2]) / math.sqrt(sum(x * x for x in d))
            cam.angle = 2.0 * math.atan(tilt_cos * math.tan(fov[0] * math.pi / 360.0))
            obj = bpy.data.objects.new("cam", cam)
            obj.location = to_blender(p)
            obj.rotation_euler = (to_blender(t) - to_blender(p)).to_track_quat("-Z", "Z").to_euler()
            scene.collection.objects.link(obj)
            scene.camera = obj
        elif kind == "l":
            p, c = nums(line, "p", 3), nums(line, "c", 3)
            light = bpy.data.lights.new("l", "POINT")
            light.shadow_soft_size = 0.0
            # The light's power (10 W by default) multiplies its emission
            # node's strength: 1 leaves the node's alone.
            light.energy = 1.0
            light.use_nodes = True
            nodes, links = light.node_tree.nodes, light.node_tree.links
            falloff = nodes.new("ShaderNodeLightFalloff")
            # rt adds kd c cos to a point lit by a light of colour c; Cycles'
            # diffuse reflection is kd / pi of the light's intensity S / (4 pi)
            # times cos.
            falloff.inputs["Strength"].default_value = 4.0 * math.pi * math.pi
            emit = nodes["Emission"]
            emit.inputs["Color"].default_value = (*c, 1.0)
            links.new(falloff.outputs["Constant"], emit.inputs["Strength"])
            obj = bpy.data.objects.new("l", light)
            obj.location = to_blender(p)
            scene.collection.objects.link(obj)
        elif kind == "s":
            add_sphere(nums(line, "c", 3), nums(line, "r", 1)[0], material(line))
        elif kind == "f":
            depth = int(re.search(r"i\((\d+)\)", line).group(1))
            add_flake(nums(line, "c", 3), nums(line, "r", 1)[0], depth, material(line))
        elif kind == "p":
            n, d = nums(line, "n", 3), nums(line, "d", 1)[0]
            nb = to_blender(n).normalized()
            centre = nb * d
            a = nb.orthogonal().normalized() * 500.0
            b = nb.cross(a).normalized() * 500.0
            verts = [tuple(centre + a + b), tuple(centre - a + b), tuple(centre - a - b), tuple(centre + a - b)]
            add_mesh("p", verts, [(0, 1, 2, 3)], material(line), False)
        elif kind == "m":
            load_mesh(line)

    scene.render.engine = "CYCLES"
    scene.view_settings.view_transform = "Standard"  # rt writes its values as they are
    cycles = scene.cycles
    cycles.device = "CPU"
    cycles.samples = int(samples)
    cycles.use_adaptive_sampling = noise > 0.0
    if noise > 0.0:
        cycles.adaptive_threshold = noise
    if clamp > 0.0:
        cycles.sample_clamp_direct = clamp
        cycles.sample_clamp_indirect = clamp
    cycles.use_denoising = False
    cycles.max_bounces = 4
    cycles.diffuse_bounces = 4
    cycles.glossy_bounces = 4
    cycles.transmission_bounces = 0
    cycles.volume_bounces = 0
    cycles.transparent_max_bounces = 0
    scene.render.threads_mode = "FIXED"
    scene.render.threads = 2
    w, h = (int(x) for x in size.split("x"))
    scene.render.resolution_x, scene.render.resolution_y = w, h
    scene.render.resolution_percentage = 100
    float_map = out.endswith(".pfm")
    scene.render.filepath = out + ".exr" if float_map else out
    if float_map:
        scene.render.image_settings.file_format = "OPEN_EXR"
        scene.render.image_settings.color_depth = "32"
    else:
        scene.render.image_settings.file_format = "PNG"
    start = time.time()
    bpy.ops.render.render(write_still=True)
    print("cycles seconds: %.3f" % (time.time() - start))
    if float_map:
        write_pfm(out + ".exr", out)
        os.remove(out + ".exr")


main()
