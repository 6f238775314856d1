#ifndef RT_BLOCKER_CACHE_H
#define RT_BLOCKER_CACHE_H

#include <optional>

#include "accel/inline.h"
#include "vector.h"

// What answered yes to the last yes/no question that a hierarchy (the
// owner) was asked on this thread, for rays of each octant of directions:
// neighbouring shadow rays to one light are mostly blocked by the same
// object or the same few faces, so asking those first often spares the walk.
// The answer to a yes/no question does not depend on the order of asking, so
// neither does any picture. A hint stays while the answers are yes; after a
// no the next ray is likely to pass too, and asking would only cost.
//
// An owner is known by its address only, which a later one may reuse: a
// hint must be checked against the owner that finds it before it is used.
template <class Hint> class BlockerCache
{
  public:
    // A yes/no question put to owner for a ray of direction dir, with the
    // cache around it: first the items that the hint left for dir's octant
    // names, if any (ask_hint(hint): true for yes; it must check that the
    // hint still names items of the owner, since an owner's address may have
    // been reused); then the whole walk (walk(&blocker): true for yes, with
    // blocker set to where the yes was found when that can be asked first
    // next time). The hint of a yes found in the walk is kept, any other
    // answer forgets the octant's hint.
    template <class AskHint, class Walk>
    RT_ALWAYS_INLINE static bool ask(const void *owner, const Vector3 &dir, AskHint ask_hint, Walk walk)
    {
        const Hint *hint = find(owner, dir);
        if (hint != nullptr && ask_hint(*hint)) {
            return true;
        }
        std::optional<Hint> blocker;
        bool yes = walk(&blocker);
        answered(owner, dir, blocker ? &*blocker : nullptr);
        return yes;
    }

  private:
    // The hint that owner left for rays of dir's octant, or null.
    static const Hint *find(const void *owner, const Vector3 &dir)
    {
        const Entry &e = entries[octant(dir)];
        return e.owner == owner ? &e.hint : nullptr;
    }

    // After a yes/no question of owner: the hint for a yes, else nothing.
    static void answered(const void *owner, const Vector3 &dir, const Hint *yes)
    {
        Entry &e = entries[octant(dir)];
        if (yes != nullptr) {
            e = Entry{owner, *yes};
        } else if (e.owner == owner) {
            e.owner = nullptr;
        }
    }

    struct Entry {
        const void *owner;
        Hint hint;
    };
    static thread_local Entry entries[8];
};

template <class Hint> thread_local typename BlockerCache<Hint>::Entry BlockerCache<Hint>::entries[8] = {};

#endif
