#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bbox.h"
#include "intinfo.h"
#include "object.h"

namespace
{

// Hit at a fixed t by every ray (or by none); counts the calls it gets and
// notices when it is deleted.
class FakeObject : public Object
{
  public:
    FakeObject(bool hit, double t, bool *deleted = nullptr) : hit(hit), t(t), deleted(deleted) {}
    ~FakeObject() override
    {
        if (deleted != nullptr) {
            *deleted = true;
        }
    }

    bool intersection(const Ray &, IntInfo *i_info) const override
    {
        calls++;
        if (ignore || !hit) {
            return false;
        }
        i_info->t = t;
        i_info->i_point = Vector3(t, t, t);
        i_info->object = this;
        return true;
    }
    void calc_bbox() override {}
    Vector3 sample() const override { return Vector3(); }

    bool hit;
    double t;
    bool *deleted;
    mutable int calls = 0;
};

const BBox big_box(Vector3(-10, -10, -10), Vector3(10, 10, 10));
const Ray through{Vector3(-20, 0, 0), Vector3(40, 0, 0)};

} // namespace

TEST(BBox, SegmentTest)
{
    const BBox box(Vector3(2, -1, -1), Vector3(3, 1, 1));
    struct Case {
        const char *what;
        Vector3 origin, dir;
        bool hit;
    } cases[] = {
        {"spans t 0.2 to 0.3", {0, 0, 0}, {10, 0, 0}, true},
        {"begins beyond the end", {0, 0, 0}, {1, 0, 0}, false},
        {"begins exactly at t 1: open range", {0, 0, 0}, {2, 0, 0}, false},
        {"behind the origin", {5, 0, 0}, {10, 0, 0}, false},
        {"outside the y slab, parallel to it", {0, 2, 0}, {10, 0, 0}, false},
        {"inside, zero dir", {2.5, 0, 0}, {0, 0, 0}, true},
        {"on face x=2, leaving: tmax is -0.0", {2, 0, 0}, {-10, 0, 0}, false},
        {"on face x=2, entering", {2, 0, 0}, {10, 0, 0}, true},
        {"diagonal through", {0, -3, -3}, {10, 10, 10}, true},
        {"diagonal past an edge", {0, 0, -3}, {10, 10, 10}, false},
        // Origin in a slab plane of an axis the ray is parallel to: 0 * inf is
        // NaN. On y or z the NaN bound is never taken over and does no harm...
        {"grazing the face y=1", {0, 1, 0}, {10, 0, 0}, true},
        {"grazing the face z=-1", {0, 0, -1}, {10, 0, 0}, true},
        {"grazing the face y=-1 along z", {2.5, -1, -5}, {0, 0, 10}, true},
        // ... on x it stays in tmin or tmax and makes the final test false.
        {"grazing the face x=2", {2, 0, -5}, {0, 0, 10}, false},
        {"grazing the face x=3", {3, 0, -5}, {0, 0, 10}, false},
        // The sign comes from the component, not the reciprocal: a -0.0
        // component inside its slab gives tmin = +inf and shuts the box.
        {"+0.0 x component inside the x slab", {2.5, 0, -5}, {0.0, 0, 10}, true},
        {"-0.0 x component inside the x slab", {2.5, 0, -5}, {-0.0, 0, 10}, false},
        {"-0.0 y component inside the y slab", {0, 0.5, 0}, {10, -0.0, 0}, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(box.intersection(Ray{c.origin, c.dir}), c.hit) << c.what;
    }
}

TEST(BBoxNode, MissesLeaveTheRecord)
{
    FakeObject hit(true, 0.5), miss(false, 0.5), ignored(true, 0.5);
    ignored.ignore = true;
    IntInfo rec;
    rec.t = -7.0;

    BBoxNode missed_box(big_box);
    missed_box.add_object(&hit);
    EXPECT_FALSE(missed_box.intersection(Ray{Vector3(-20, 50, 0), Vector3(40, 0, 0)}, &rec));
    EXPECT_EQ(hit.calls, 0); // nothing below a missed box is asked

    BBoxNode empty(big_box);
    EXPECT_FALSE(empty.intersection(through, &rec));

    BBoxNode node(big_box);
    node.add_object(&miss);
    node.add_object(&ignored);
    EXPECT_FALSE(node.intersection(through, &rec));
    EXPECT_FALSE(node.intersection(through, nullptr));
    EXPECT_EQ(ignored.calls, 2); // still asked: it declines by itself
    EXPECT_EQ(rec.t, -7.0);
    EXPECT_EQ(rec.object, nullptr);
}

TEST(BBoxNode, NearestHitAndTies)
{
    struct Case {
        const char *what;
        std::vector<double> child_ts;  // one object in each child node; < 0: no hit
        std::vector<double> object_ts; // the node's own objects
        int want;                      // index into children, then objects
    } cases[] = {
        {"nearer own object beats child", {0.5}, {0.25}, 1},
        {"nearer child beats own object", {0.25}, {0.5}, 0},
        {"child wins a tie with an object", {0.5}, {0.5}, 0},
        {"first child wins a tie", {0.5, 0.5}, {}, 0},
        {"first object wins a tie", {}, {0.5, 0.5, 0.75}, 0},
        {"strictly nearer later object", {}, {0.5, 0.4999999999999999}, 1},
        {"misses are skipped", {-1}, {-1, 0.9}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<FakeObject>> all;
        BBoxNode node(big_box);
        for (double t : c.child_ts) {
            all.emplace_back(new FakeObject(t >= 0, t));
            BBoxNode *child = new BBoxNode(big_box);
            child->add_object(all.back().get());
            node.add_child(child);
        }
        for (double t : c.object_ts) {
            all.emplace_back(new FakeObject(t >= 0, t));
            node.add_object(all.back().get());
        }

        IntInfo rec;
        EXPECT_TRUE(node.intersection(through, &rec));
        EXPECT_EQ(rec.object, all[c.want].get());
        EXPECT_EQ(rec.t, all[c.want]->t);
        EXPECT_EQ(rec.i_point.x, all[c.want]->t);
        EXPECT_TRUE(node.intersection(through, nullptr));
        for (const auto &obj : all) {
            EXPECT_EQ(obj->calls, 2); // no early exit, not even for yes/no queries
        }
    }
}

TEST(BBoxNode, ChildBoxesPruneAndChildrenAreOwned)
{
    bool own_deleted = false, deep_deleted = false;
    std::unique_ptr<FakeObject> own(new FakeObject(true, 0.75, &own_deleted));
    std::unique_ptr<FakeObject> deep(new FakeObject(true, 0.5, &deep_deleted));
    FakeObject pruned(true, 0.25);
    {
        BBoxNode root(big_box);
        BBoxNode *child = new BBoxNode(big_box);
        BBoxNode *grandchild = new BBoxNode(big_box);
        BBoxNode *aside = new BBoxNode(BBox(Vector3(-10, 40, -10), Vector3(10, 60, 10)));
        grandchild->add_object(deep.get());
        child->add_child(grandchild);
        aside->add_object(&pruned);
        root.add_child(aside);
        root.add_child(child);
        root.add_object(own.get());
        IntInfo rec;
        EXPECT_TRUE(root.intersection(through, &rec));
        EXPECT_EQ(rec.object, deep.get());
        EXPECT_EQ(pruned.calls, 0);
    }
    // The nodes went with the root (a leak checker sees it); the objects stay.
    EXPECT_FALSE(own_deleted);
    EXPECT_FALSE(deep_deleted);
}
