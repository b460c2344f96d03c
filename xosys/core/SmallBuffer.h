// Growable array of trivially copyable elements with the first N elements
// stored inline, so that small messages and composers need no extra
// allocation. Growth failure is reported by a false result, never thrown.
#ifndef XOSYS_CORE_SMALLBUFFER_H
#define XOSYS_CORE_SMALLBUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace xosys {

template <class T, size_t N>
class SmallBuffer {
    static_assert(std::is_trivially_copyable<T>::value, "SmallBuffer holds plain data only");
    static_assert(N > 0, "SmallBuffer needs inline room");

  public:
    SmallBuffer() = default;
    SmallBuffer(const SmallBuffer&) = delete;
    SmallBuffer& operator=(const SmallBuffer&) = delete;
    ~SmallBuffer() { release(); }

    T* data() { return m_data; }
    const T* data() const { return m_data; }
    size_t size() const { return m_size; }
    size_t capacity() const { return m_capacity; }
    T& operator[](size_t i) { return m_data[i]; }
    const T& operator[](size_t i) const { return m_data[i]; }

    void clear() { m_size = 0; }

    // Makes room for at least n elements; false when memory runs out or
    // n is absurdly large.
    bool reserve(size_t n) {
        if (n <= m_capacity) {
            return true;
        }
        size_t newCapacity = m_capacity * 2;
        if (newCapacity < n) {
            newCapacity = n;
        }
        if (newCapacity > static_cast<size_t>(-1) / sizeof(T)) {
            return false;
        }
        T* grown = static_cast<T*>(std::malloc(newCapacity * sizeof(T)));
        if (grown == nullptr) {
            return false;
        }
        if (m_size != 0) {
            std::memcpy(grown, m_data, m_size * sizeof(T));
        }
        release();
        m_data = grown;
        m_capacity = newCapacity;
        return true;
    }

    // Sets the size to n; new elements are left uninitialised.
    bool resize(size_t n) {
        if (!reserve(n)) {
            return false;
        }
        m_size = n;
        return true;
    }

    bool append(const T* items, size_t n) {
        if (n == 0) {
            return true;
        }
        if (n > static_cast<size_t>(-1) - m_size || !reserve(m_size + n)) {
            return false;
        }
        std::memcpy(m_data + m_size, items, n * sizeof(T));
        m_size += n;
        return true;
    }

    bool push_back(const T& item) { return append(&item, 1); }

    // True when p points into the stored elements (used to guard against a
    // caller handing us our own storage as the source of a copy).
    bool contains(const void* p) const {
        const uintptr_t b = reinterpret_cast<uintptr_t>(m_data);
        const uintptr_t q = reinterpret_cast<uintptr_t>(p);
        return q >= b && q - b < m_capacity * sizeof(T);
    }

  private:
    void release() {
        if (m_data != m_inline) {
            std::free(m_data);
        }
        m_data = m_inline;
        m_capacity = N;
    }

    T m_inline[N];
    T* m_data = m_inline;
    size_t m_size = 0;
    size_t m_capacity = N;
};

}  // namespace xosys

#endif  // XOSYS_CORE_SMALLBUFFER_H
