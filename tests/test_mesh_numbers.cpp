// The numbers of mesh data files: the fast reader gives exactly what sscanf
// gives (the count of conversions and every value to the bit) for numbers
// of every shape, odd spellings included; and the file is still cut into
// the pieces of 255 characters that fgets would make.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "files/mesh_text.h"
#include "files/number_scan.h"
#include "mesh.h"
#include "scene.h"
#include "support.h"

namespace
{

std::string random_number(std::mt19937 &g)
{
    auto pick = [&](int n) { return static_cast<int>(g() % n); };
    const char *odd[] = {"inf", "-INF", "nan", "+nan(1)", "0x1.8p3", "0X10", "1e", "1e+", ".", "+.5", "5.", "-.e1",
                         "1.5x", "1,5", "--1", "16777217", "33554435", "1e39", "-3.5e-45", "1e-50", "7e-46", "0e999",
                         "", "1-2", "3.4028235e38",
                         // Their doubles lie exactly halfway between two floats, they do not.
                         "84.82812881469727", "-1.252216398715973"};
    if (pick(6) == 0) {
        return odd[pick(sizeof odd / sizeof *odd)];
    }
    std::string s = pick(3) == 0 ? (pick(2) ? "-" : "+") : "";
    int digits = 1 + pick(pick(4) == 0 ? 25 : 9), point = pick(digits + 2);
    for (int i = 0; i < digits; i++) {
        s += i == point ? "." : "";
        s += static_cast<char>('0' + (i == 0 && pick(2) ? 0 : pick(10)));
    }
    if (pick(3) == 0) {
        s += std::string(pick(2) ? "e" : "E") + (pick(2) ? "-" : pick(2) ? "+" : "") + std::to_string(pick(50));
    }
    return s;
}

TEST(MeshNumbers, FastReaderAnswersAsSscanf)
{
    std::mt19937 g(15);
    for (int i = 0; i < 200000; i++) {
        const char *blanks[] = {" ", "  ", "\t", ""};
        std::string line = i % 2 ? "v" : "n";
        for (int k = 0; k < 3; k++) {
            line += blanks[g() % 4] + random_number(g);
        }
        float fast[3] = {0, 0, 0}, slow[3] = {0, 0, 0};
        int got = scan_vector_line(line.c_str(), fast);
        int want = sscanf(line.c_str(), i % 2 ? "v %f %f %f" : "n %f %f %f", &slow[0], &slow[1], &slow[2]);
        ASSERT_EQ(got, want) << line;
        for (int k = 0; k < want; k++) {
            ASSERT_EQ(std::memcmp(&fast[k], &slow[k], sizeof(float)), 0) << line;
        }

        const char *parts[] = {"12", "/", " ", "007", "-3", "+4", "x", "", "2147483648", "1/1", " 5/6"};
        line = "f";
        for (int k = 0, n = 1 + static_cast<int>(g() % 12); k < n; k++) {
            line += g() % 3 ? std::string(" ") + std::to_string(g() % 30) + "/" + std::to_string(g() % 30)
                            : parts[g() % (sizeof parts / sizeof *parts)];
        }
        int a[8], b[8];
        got = scan_face_line(line.c_str(), a);
        want =
            sscanf(line.c_str(), "f %d/%d %d/%d %d/%d %d/%d", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
        ASSERT_EQ(got, want) << line;
        for (int k = 0; k < want; k++) {
            ASSERT_EQ(a[k], b[k]) << line;
        }
    }
}

TEST(MeshNumbers, LongLinesAreReadInPiecesOf255)
{
    TempDir dir;
    const std::string tri = "MESH3\nv 0 0 5\nv 1 0 5\nv 0 1 5\nn 0 0 -1\nf 1/1 2/1 3/1\n";
    struct Case {
        std::string extra;
        size_t objects;
    } cases[] = {
        {"v 1 2 3" + std::string(300, ' ') + "\n", 1}, // the rest is blank: skipped
        {"# " + std::string(253, 'x') + "\n", 1},      // 255 and the newline: one piece, then nothing
        {"# " + std::string(254, 'x') + "\n", 0},      // 256: the piece "x\n" is not a line kind
        {std::string("v 1 2 3\0garbage", 15) + "\n", 1},
    };
    for (const Case &c : cases) {
        write_file(dir.file("m.mesh"), tri + c.extra);
        write_file(dir.file("m.scene"), "m " + dir.file("m.mesh") +
                                            " pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(1 1 1) ks(0 0 0) s(1) kr(0) "
                                            "ke(0 0 0)\n");
        Scene scene;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(scene.load(dir.file("m.scene").c_str()));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(scene.get_objects().size(), c.objects) << c.extra.size();
    }
}

// A large file is read in blocks cut where pieces start, apart (on several
// threads) and joined in order: the numbers, and where the first invalid line
// stops the reading, are those of the file read in one piece, wherever the
// cuts fall (inside numbers, comments, long lines, CRLF pairs).
TEST(MeshNumbers, BlocksReadApartAnswerAsOnePiece)
{
    std::mt19937 g(27);
    auto join = [](MeshText *to, const MeshText &part) {
        // The part's excesses are over its own lines.
        long long p = static_cast<long long>(to->positions.size() / 3);
        long long n = static_cast<long long>(to->normals.size() / 3);
        long long t = static_cast<long long>(to->coords.size() / 2);
        auto shifted = [](long long excess, long long by) { return excess == LLONG_MIN ? excess : excess - by; };
        to->least_index = std::min(to->least_index, part.least_index);
        to->position_excess = std::max(to->position_excess, shifted(part.position_excess, p));
        to->normal_excess = std::max(to->normal_excess, shifted(part.normal_excess, n));
        to->coord_excess = std::max(to->coord_excess, shifted(part.coord_excess, t));
        to->positions.insert(to->positions.end(), part.positions.begin(), part.positions.end());
        to->normals.insert(to->normals.end(), part.normals.begin(), part.normals.end());
        to->coords.insert(to->coords.end(), part.coords.begin(), part.coords.end());
        to->corners.insert(to->corners.end(), part.corners.begin(), part.corners.end());
        to->corner_coords.insert(to->corner_coords.end(), part.corner_coords.begin(), part.corner_coords.end());
        to->face_kind = part.face_kind != FACES_NONE_YET ? part.face_kind : to->face_kind;
        to->lines += part.lines;
        to->valid = part.valid;
    };
    for (int round = 0; round < 300; round++) {
        // Most files valid to the end; every fourth with odd spellings and
        // invalid lines; every other with texture coordinates at its faces.
        const bool odd = round % 4 == 0, textured = round % 2 == 1;
        auto number = [&] { return odd ? random_number(g) : std::to_string(g() % 20001 / 7.0 - 1000.0); };
        std::string text;
        for (int line = 0; line < 60; line++) {
            switch (g() % 9) {
            case 0:
                text += "# " + std::string(g() % 400, 'c') + "\n";
                break;
            case 1:
                text += std::string(g() % 300, ' ') + "v 1 2 3" + std::string(g() % 3, ' ') + "\r\n";
                break;
            case 2:
                text += textured ? "f " + std::to_string(g() % 9) + "/1/" + std::to_string(g() % 30) + " 1/1/1 " +
                                       std::to_string(g() % 40) + "/2/3\n"
                                 : "f " + std::to_string(g() % 9) + "/" + std::to_string(g() % 9) + " 1/1 " +
                                       std::to_string(g() % 40) + "/2\n";
                break;
            case 4:
                text += "t " + number() + " " + number() + "\n";
                break;
            case 3:
                text += odd && g() % 2 ? std::string("v 1\0 2 3\n", 9) : "\n";
                break;
            default:
                text += (g() % 2 ? "v " : "n ") + number() + " " + number() + " " + number() + "\n";
            }
        }
        text.resize(text.size() - g() % 2); // with or without a last newline
        MeshText whole;
        read_mesh_text(text.data(), text.size(), 3, &whole);
        MeshText joined;
        for (size_t at = 0; at < text.size() && joined.valid;) {
            size_t rest = text.size() - at, want = MESH_PIECE + g() % 700;
            size_t size = want >= rest ? rest : mesh_piece_boundary(text.data() + at, want);
            ASSERT_GT(size, 0u);
            MeshText part;
            read_mesh_text(text.data() + at, size, 3, &part);
            join(&joined, part);
            at += size;
        }
        ASSERT_EQ(joined.valid, whole.valid) << round;
        ASSERT_EQ(joined.positions.size(), whole.positions.size()) << round;
        ASSERT_EQ(joined.normals.size(), whole.normals.size()) << round;
        // Bit for bit (a NaN read is a NaN kept); empty arrays have no data to compare.
        EXPECT_TRUE(whole.positions.empty() ||
                    std::memcmp(joined.positions.data(), whole.positions.data(), whole.positions.size() * 4) == 0);
        EXPECT_TRUE(whole.normals.empty() ||
                    std::memcmp(joined.normals.data(), whole.normals.data(), whole.normals.size() * 4) == 0);
        ASSERT_EQ(joined.coords.size(), whole.coords.size()) << round;
        EXPECT_TRUE(whole.coords.empty() ||
                    std::memcmp(joined.coords.data(), whole.coords.data(), whole.coords.size() * 4) == 0);
        EXPECT_EQ(joined.corners, whole.corners) << round;
        EXPECT_EQ(joined.corner_coords, whole.corner_coords) << round;
        EXPECT_EQ(joined.face_kind, whole.face_kind) << round;
        EXPECT_EQ(joined.lines, whole.lines) << round;
        EXPECT_EQ(joined.least_index, whole.least_index) << round;
        EXPECT_EQ(joined.position_excess, whole.position_excess) << round;
        EXPECT_EQ(joined.normal_excess, whole.normal_excess) << round;
        EXPECT_EQ(joined.coord_excess, whole.coord_excess) << round;
    }
}

// Files of several blocks: the mesh, or the messages that discard it, are
// the same on one thread as on three, with lines, comments and faces that
// reach back across the blocks' edges, and with the first error in a late
// block.
TEST(MeshNumbers, LargeFilesGiveTheSameMeshOnAnyNumberOfThreads)
{
    std::string body = "MESH3\nn 0 0 -1\n";
    char line[96];
    for (int i = 1; i <= 90000; i++) {
        snprintf(line, sizeof line, i % 7 ? "v %.6f %.5f 1e-1\n" : "  v %.6f %.5f 1e-1\r\n", i * 0.001, (i % 3) * 0.5);
        body += line;
        if (i % 501 == 0) {
            body += "# " + std::string(300, '#') + "\n";
        }
        if (i > 2) {
            snprintf(line, sizeof line, "f %d/1 %d/1 %d/1\n", i, i - 1, i - 2);
            body += line;
        }
    }
    const size_t late = body.size() * 4 / 5;
    const struct Case {
        const char *what;
        std::string data;
    } cases[] = {
        {"valid", body},
        {"a bad line late", body.substr(0, body.rfind('\n', late) + 1) + "x\n" + body.substr(late)},
        {"a face before its corner", body.substr(0, late) + "\nf 95000/1 1/1 2/1\n"},
        {"a normal index past the normals", body + "f 1/2 2/1 3/1\n"},
        {"a face with texture coordinates late", body.substr(0, late) + "\nt 0 0\nf 1/1/1 2/1/1 3/1/1\n"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        write_file(dir.file("m.mesh"), c.data);
        write_file(dir.file("m.scene"), "m " + dir.file("m.mesh") +
                                            " pos(1 2 3) rot(0 1 1 30) scale(2 1 1) kd(1 1 1) ks(0 0 0) s(1) kr(0) "
                                            "ke(0 0 0)\n");
        std::string first_err, first_faces;
        for (int threads : {1, 3}) {
            Scene scene;
            scene.set_threads(threads);
            testing::internal::CaptureStderr();
            EXPECT_TRUE(scene.load(dir.file("m.scene").c_str()));
            std::string err = testing::internal::GetCapturedStderr();
            std::string faces;
            for (const Object *o : scene.get_objects()) {
                const Mesh *m = static_cast<const Mesh *>(o);
                for (int f = 0; f < m->get_face_count(); f++) {
                    faces += std::string(reinterpret_cast<const char *>(m->get_face(f)), sizeof(Face));
                }
            }
            if (threads == 1) {
                first_err = err;
                first_faces = faces;
                EXPECT_EQ(err.empty(), c.data == body) << c.what;
                EXPECT_EQ(faces.size(), c.data == body ? 89998 * sizeof(Face) : 0) << c.what;
            } else {
                EXPECT_EQ(err, first_err) << c.what;
                EXPECT_TRUE(faces == first_faces) << c.what;
            }
        }
    }
}

} // namespace
