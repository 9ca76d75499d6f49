// A growable array that reports allocation failure instead of throwing.
#ifndef BINDER_NDK_INTERNAL_POD_VECTOR_H
#define BINDER_NDK_INTERNAL_POD_VECTOR_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace binder_ndk::internal {

// Holds trivially copyable values in one malloc'd block. Every operation that
// may allocate returns false when memory runs out and then leaves the vector
// as it was, so no exception can reach the C API. Move-only.
template <typename T>
class PodVector {
    static_assert(std::is_trivially_copyable_v<T>, "PodVector moves its elements with memmove");

  public:
    PodVector() noexcept = default;
    ~PodVector() { std::free(data_); }
    PodVector(const PodVector&) = delete;
    PodVector& operator=(const PodVector&) = delete;
    PodVector(PodVector&& other) noexcept { swap(other); }
    PodVector& operator=(PodVector&& other) noexcept {
        PodVector(static_cast<PodVector&&>(other)).swap(*this);
        return *this;
    }

    void swap(PodVector& other) noexcept {
        T* data = data_;
        size_t size = size_;
        size_t capacity = capacity_;
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = data;
        other.size_ = size;
        other.capacity_ = capacity;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }
    // Makes the first `count` elements (count <= capacity()) the content,
    // leaving any new ones as they are: the caller writes them at once.
    void setSizeWithinCapacity(size_t count) noexcept { size_ = count; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }

    // Ensures room for `count` elements without further allocation.
    bool reserve(size_t count) noexcept {
        if (count <= capacity_) return true;
        if (count > SIZE_MAX / 2 / sizeof(T)) return false;
        // Small vectors start at 64 bytes: most parcels and tables stay
        // within a few of them.
        constexpr size_t kMinimum = sizeof(T) >= 8 ? 8 : 64 / sizeof(T);
        size_t capacity = capacity_ < kMinimum ? kMinimum : capacity_;
        while (capacity < count) capacity *= 2;
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    // Changes the element count; elements added are all-zero bytes.
    bool resize(size_t count) noexcept {
        if (!reserve(count)) return false;
        if (count > size_) std::memset(data_ + size_, 0, (count - size_) * sizeof(T));
        size_ = count;
        return true;
    }

    // Inserts `value` before position `index` (index <= size()).
    bool insert(size_t index, const T& value) noexcept {
        if (!reserve(size_ + 1)) return false;
        if (index < size_) std::memmove(data_ + index + 1, data_ + index, (size_ - index) * sizeof(T));
        data_[index] = value;
        ++size_;
        return true;
    }

    void erase(size_t index) noexcept {
        if (index + 1 < size_) std::memmove(data_ + index, data_ + index + 1, (size_ - index - 1) * sizeof(T));
        --size_;
    }

    void clear() noexcept { size_ = 0; }

  private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_POD_VECTOR_H
