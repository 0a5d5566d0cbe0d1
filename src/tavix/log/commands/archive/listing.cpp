#include <class_builder.hpp>

#include <memory>
#include <vector>

#include "archive.hpp"

namespace tavix::archive {

namespace {

// One directory being walked: its entries sorted case-insensitively.
struct Level {
    nb::str full;      // its path
    nb::object rel;    // its path relative to the extraction directory ("" for the top)
    nb::list names;
    size_t index = 0;
    nb::object depth;  // int
    nb::object parent_id;
};

// State of one listdir walk. A directory's entry is produced before the
// directory is read; it is read at the next step, so the walk stays lazy.
struct Walk {
    nb::object root;
    std::vector<Level> levels;
    bool pending = true;
    nb::object pending_rel, pending_depth, pending_parent;
};

Walk &walk_of(nb::handle self) {
    nb::capsule capsule = nb::cast<nb::capsule>(self.attr("_walk"));
    return *static_cast<Walk *>(capsule.data());
}

void open_level(Walk &walk) {
    Refs &r = refs();
    Level level;
    bool top = !truthy(walk.pending_rel);
    level.full = top ? as_text(walk.root) : join_inside(walk.root, walk.pending_rel);
    level.rel = top ? nb::object(nb::str("")) : walk.pending_rel;
    level.names = nb::cast<nb::list>(
        r.sorted(r.listdir(level.full), nb::arg("key") = r.str_lower));
    level.depth = walk.pending_depth;
    level.parent_id = walk.pending_parent;
    walk.levels.push_back(std::move(level));
}

bool ignored(nb::handle full, nb::handle patterns) {
    nb::object path = refs().pure_path(full);
    nb::object match = path.attr("match");
    for (nb::handle pattern : patterns)
        if (truthy(match(pattern)))
            return true;
    return false;
}

nb::object next_entry(nb::handle self) {
    Refs &r = refs();
    Walk &walk = walk_of(self);
    nb::object patterns = r.module.attr("IGNORE_FILES");
    for (;;) {
        if (walk.pending) {
            walk.pending = false;
            open_level(walk);
        }
        if (walk.levels.empty())
            throw nb::stop_iteration();
        Level &level = walk.levels.back();
        if (level.index >= nb::len(level.names)) {
            walk.levels.pop_back();
            continue;
        }
        size_t index = level.index++;  // skipped entries keep their index
        nb::object name = level.names[index];
        nb::object full = r.path_join(level.full, name);
        if (ignored(full, patterns))
            continue;
        bool link = truthy(r.islink(full));
        if (link) {
            // Symlinks that leave the archive (or lead nowhere) are not shown.
            try {
                join_inside(walk.root, full);
                r.stat(full);
            } catch (nb::python_error &error) {
                if (error.matches(PyExc_OSError))
                    continue;
                throw;
            }
        }
        nb::object st = r.stat(full);
        bool is_dir = truthy(r.s_isdir(st.attr("st_mode")));
        nb::object rel = truthy(level.rel) ? r.path_join(level.rel, name) : name;
        nb::str id = nb::str("{}-{}").format(level.depth, index);

        nb::dict entry;
        entry["file_name"] = name;
        entry["file_size"] = st.attr("st_size");
        entry["is_dir"] = nb::bool_(is_dir);
        entry["id"] = id;
        entry["parent_id"] = level.parent_id;
        entry["item_path"] = rel;
        if (is_dir && !link) {  // linked directories are not entered: they could loop
            walk.pending = true;
            walk.pending_rel = rel;
            walk.pending_depth = level.depth + nb::int_(1);
            walk.pending_parent = id;
        }
        return entry;
    }
}

}  // namespace

nb::object make_listing(nb::handle root, nb::handle folder, nb::handle depth, nb::handle parent_id) {
    auto walk = std::make_unique<Walk>();
    walk->root = nb::borrow(root);
    // Entries' paths are relative to the extraction directory whatever
    // spelling of the folder was asked for ("c/", "./c").
    nb::object rel = nb::str("");
    if (!folder.is_none() && truthy(folder)) {
        rel = refs().normpath(folder);
        if (rel.equal(nb::str(".")))
            rel = nb::str("");
    }
    walk->pending_rel = rel;
    walk->pending_depth = nb::borrow(depth);
    walk->pending_parent = nb::borrow(parent_id);
    nb::object listing = refs().listing_cls();
    listing.attr("_walk") = nb::capsule(walk.release(), [](void *p) noexcept { delete static_cast<Walk *>(p); });
    return listing;
}

void define_listing(nb::module_ &m) {
    refs().listing_cls =
        ClassBuilder(m, "_Listing", {nb::handle((PyObject *)&PyBaseObject_Type)})
            .doc("Iterator over the entries of an archive's file tree, in pre-order.")
            .method("__iter__", [](nb::handle self) { return nb::borrow(self); })
            .method("__next__", &next_entry)
            .build();
}

}  // namespace tavix::archive
