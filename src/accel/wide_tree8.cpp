#include <algorithm>
#include <cmath>

#include "accel/wide_tree.h"

namespace
{

// Converts the four-wide nodes below a root into the eight-wide form, node
// before children, each node's children in the order they had.
struct Widener {
    const std::vector<WideNode> &in;
    std::vector<WideNode8> &out;
    int deepest = 0;

    // A child of a node: its reference and its box.
    struct Slot {
        uint32_t ref;
        float lo[3], hi[3];
        bool inner() const { return !(ref & WideTree::LEAF); }
        double half_area() const
        {
            double d[3];
            for (int a = 0; a < 3; a++) {
                d[a] = static_cast<double>(hi[a]) - lo[a];
            }
            return d[0] * d[1] + d[1] * d[2] + d[2] * d[0];
        }
    };

    // The children of a four-wide node, empty ones left out, after *at.
    int slots_of(uint32_t index, Slot *at) const
    {
        const WideNode &node = in[index];
        int n = 0;
        for (int k = 0; k < 4; k++) {
            if (node.child[k] == WideTree::EMPTY) {
                continue;
            }
            Slot &s = at[n++];
            s.ref = node.child[k];
            for (int a = 0; a < 3; a++) {
                s.lo[a] = node.lo[a][k];
                s.hi[a] = node.hi[a][k];
            }
        }
        return n;
    }

    int live_children(uint32_t index) const
    {
        int n = 0;
        for (uint32_t ref : in[index].child) {
            n += ref != WideTree::EMPTY;
        }
        return n;
    }

    uint32_t convert(uint32_t index, int depth)
    {
        Slot s[8];
        int n = slots_of(index, s);
        // The inner child with the largest box whose children still fit
        // takes their place (the first of equals), until none fits: a
        // large box is the one most rays enter, whose test is saved.
        for (;;) {
            int pick = -1;
            double best = -1.0;
            for (int i = 0; i < n; i++) {
                if (s[i].inner() && n - 1 + live_children(s[i].ref) <= 8 && s[i].half_area() > best) {
                    pick = i;
                    best = s[i].half_area();
                }
            }
            if (pick < 0) {
                break;
            }
            Slot kids[4];
            int m = slots_of(s[pick].ref, kids);
            std::copy_backward(s + pick + 1, s + n, s + n + m - 1);
            std::copy(kids, kids + m, s + pick);
            n += m - 1;
        }
        deepest = std::max(deepest, depth);
        const uint32_t me = static_cast<uint32_t>(out.size());
        out.push_back(WideNode8());
        uint32_t child[8];
        for (int i = 0; i < n; i++) {
            child[i] = s[i].inner() ? convert(s[i].ref, depth + 1) : s[i].ref;
        }
        WideNode8 &node = out[me];
        for (int i = 0; i < 8; i++) {
            node.child[i] = i < n ? child[i] : WideTree::EMPTY;
            for (int a = 0; a < 3; a++) {
                node.lo[a][i] = i < n ? s[i].lo[a] : HUGE_VALF;
                node.hi[a][i] = i < n ? s[i].hi[a] : -HUGE_VALF;
            }
        }
        return me;
    }
};

} // namespace

bool WideTree::widen()
{
    if (nodes.empty()) {
        return nodes8.empty();
    }
    std::vector<WideNode8> wide;
    // No more nodes than the four-wide form has; pages never written to
    // cost no memory.
    wide.reserve(nodes.size());
    Widener w{nodes, wide};
    w.convert(0, 0);
    // A node's walk pushes at most seven more than it pops.
    if (7 * (w.deepest + 1) + 8 > STACK8) {
        return false;
    }
    nodes8.swap(wide);
    std::vector<WideNode>().swap(nodes);
    return true;
}

std::vector<uint32_t> WideTree::leaves() const
{
    std::vector<uint32_t> out;
    auto take = [&](const uint32_t *child, int n) {
        for (int k = 0; k < n; k++) {
            if (child[k] != EMPTY && (child[k] & LEAF)) {
                out.push_back(child[k]);
            }
        }
    };
    for (const WideNode &node : nodes) {
        take(node.child, 4);
    }
    for (const WideNode8 &node : nodes8) {
        take(node.child, 8);
    }
    return out;
}
