// GLib objects and values that a C++ object holds, released with it (local
// ones use GLib's own g_autoptr and g_autofree).
#pragma once

#include <glib-object.h>

#include <memory>

namespace kestrix::platform {

template <auto Release>
struct Releaser {
    template <typename T>
    void operator()(T* held) const {
        if (held) Release(held);
    }
};

// A reference of ours to a GObject (or, with `Release`, to another counted
// or boxed value).
template <typename T, auto Release = g_object_unref>
using Owned = std::unique_ptr<T, Releaser<Release>>;

}  // namespace kestrix::platform
