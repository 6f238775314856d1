// The numbers of mesh data files: the fast reader gives exactly what sscanf
// gives (the count of conversions and every value to the bit) for numbers
// of every shape, odd spellings included; and the file is still cut into
// the pieces of 255 characters that fgets would make.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "files/number_scan.h"
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

} // namespace
