// The library's one growable array, for plain values (pointers, ids, small
// records). Growing can fail: push and reserve say so and leave the array as
// it was, so a walk that runs out of memory counts what it could not keep
// instead of ending the process. Memory comes from malloc, never operator
// new, so the array also serves code that runs on threads the library may
// leave behind in a stuck call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

template <class T>
struct qv_vec {
    static_assert(std::is_trivially_copyable_v<T>, "qv_vec holds plain values");

    T *items = nullptr;
    size_t len = 0;
    size_t cap = 0;

    qv_vec() noexcept = default;
    qv_vec(const qv_vec &) = delete;
    qv_vec &operator=(const qv_vec &) = delete;
    qv_vec(qv_vec &&o) noexcept : items(o.items), len(o.len), cap(o.cap) { o.items = nullptr, o.len = o.cap = 0; }
    qv_vec &operator=(qv_vec &&o) noexcept
    {
        std::swap(items, o.items), std::swap(len, o.len), std::swap(cap, o.cap);
        return *this;
    }
    ~qv_vec() { free(items); }

    // Room for at least n items; false (the array unchanged) when memory
    // runs out or n items would not fit in the address space.
    bool reserve(size_t n) noexcept
    {
        if (n <= cap)
            return true;
        size_t want = cap < 8 ? 8 : cap;
        while (want < n)
            want = want > SIZE_MAX / 2 ? n : want * 2;
        if (want > SIZE_MAX / sizeof(T))
            return false;
        void *p = realloc(items, want * sizeof(T));
        if (!p)
            return false;
        items = static_cast<T *>(p);
        cap = want;
        return true;
    }
    // Makes the length n, growing when needed; items past the old length
    // hold whatever the memory held. False (the array unchanged) when it
    // cannot grow.
    bool resize(size_t n) noexcept
    {
        if (!reserve(n))
            return false;
        len = n;
        return true;
    }
    // Appends v; false (the array unchanged) when it cannot grow.
    bool push(const T &v) noexcept
    {
        if (len == cap && !reserve(len + 1))
            return false;
        items[len++] = v;
        return true;
    }
    // Appends another array's items; false (this one unchanged) when it
    // cannot grow.
    bool append(const qv_vec &o) noexcept
    {
        if (!reserve(len + o.len))
            return false;
        for (size_t i = 0; i < o.len; i++)
            items[len + i] = o.items[i];
        len += o.len;
        return true;
    }
    T pop() noexcept { return items[--len]; }
    void clear() noexcept { len = 0; }
    // Gives the memory back.
    void reset() noexcept
    {
        free(items);
        items = nullptr;
        len = cap = 0;
    }

    bool empty() const noexcept { return len == 0; }
    size_t size() const noexcept { return len; }
    T &operator[](size_t i) noexcept { return items[i]; }
    const T &operator[](size_t i) const noexcept { return items[i]; }
    T &back() noexcept { return items[len - 1]; }
    T *begin() noexcept { return items; }
    T *end() noexcept { return items + len; }
    const T *begin() const noexcept { return items; }
    const T *end() const noexcept { return items + len; }
};
