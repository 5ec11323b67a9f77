#pragma once
// Growable arrays of fixed-size elements.
//
// OBaseArray<N> keeps elements of N bytes (4 or 8) in one heap buffer.
// Setting the size to n:
//   - n = 0 frees the buffer;
//   - with no buffer yet, exactly n zeroed elements are allocated;
//   - when n exceeds the capacity, the capacity becomes the larger of n and
//     capacity + step, where the step is the one given at construction or,
//     when that is 0, the current count / 8, at least 4 and at most 1024;
//   - elements that come into range are zeroed.
// Allocation failure leaves the array as it was and reports FALSE with
// ERROR_OUTOFMEMORY as the thread's last error.

#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>

template <size_t ELEM_SIZE>
class OBaseArray {
    static_assert(ELEM_SIZE == 4 || ELEM_SIZE == 8, "elements are 4 or 8 bytes");

public:
    explicit OBaseArray(int grow_by = 0) : Data_(nullptr), Count_(0), Capacity_(0), GrowBy_(grow_by > 0 ? grow_by : 0) {}
    virtual ~OBaseArray() { std::free(Data_); }
    OBaseArray(const OBaseArray&) = delete;
    OBaseArray& operator=(const OBaseArray&) = delete;

    int GetSize() const { return Count_; }
    int GetCapacity() const { return Capacity_; }

    BOOL SetSize(int count)
    {
        if (count < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (count == 0) {
            std::free(Data_);
            Data_ = nullptr;
            Count_ = Capacity_ = 0;
            return TRUE;
        }
        if (count > Capacity_) {
            int capacity = count;
            if (Data_) {
                int step = GrowBy_;
                if (step == 0) {
                    step = Count_ / 8;
                    step = step < 4 ? 4 : (step > 1024 ? 1024 : step);
                }
                if (Capacity_ <= INT_MAX - step && Capacity_ + step > capacity)
                    capacity = Capacity_ + step;
            }
            if (static_cast<size_t>(capacity) > SIZE_MAX / ELEM_SIZE) {
                SetLastError(ERROR_OUTOFMEMORY);
                return FALSE;
            }
            void* grown = std::realloc(Data_, static_cast<size_t>(capacity) * ELEM_SIZE);
            if (!grown) {
                SetLastError(ERROR_OUTOFMEMORY);
                return FALSE;
            }
            Data_ = static_cast<BYTE*>(grown);
            Capacity_ = capacity;
        }
        if (count > Count_)
            std::memset(Data_ + static_cast<size_t>(Count_) * ELEM_SIZE, 0,
                        static_cast<size_t>(count - Count_) * ELEM_SIZE);
        Count_ = count;
        return TRUE;
    }

protected:
    BYTE* Element(int index) const { return Data_ + static_cast<size_t>(index) * ELEM_SIZE; }

    BOOL RemoveElement(int index)
    {
        if (index < 0 || index >= Count_) {
            SetLastError(ERROR_INVALID_INDEX);
            return FALSE;
        }
        std::memmove(Element(index), Element(index + 1), static_cast<size_t>(Count_ - index - 1) * ELEM_SIZE);
        --Count_;
        return TRUE;
    }

private:
    BYTE* Data_;
    int Count_;
    int Capacity_;
    int GrowBy_;
};

// Typed access to an OBaseArray of the element's size. T must be a plain
// value (an integer or a pointer): elements are moved with memory copies.
template <typename T>
class OTypedArray : public OBaseArray<sizeof(T)> {
public:
    explicit OTypedArray(int grow_by = 0) : OBaseArray<sizeof(T)>(grow_by) {}
    ~OTypedArray() override = default;

    // index must lie in 0 .. GetSize() - 1.
    T GetAt(int index) const
    {
        T value;
        std::memcpy(&value, this->Element(index), sizeof(T));
        return value;
    }
    void SetAt(int index, T value) { std::memcpy(this->Element(index), &value, sizeof(T)); }

    BOOL Add(T value)
    {
        const int index = this->GetSize();
        if (index == INT_MAX || !this->SetSize(index + 1))
            return FALSE;
        SetAt(index, value);
        return TRUE;
    }
    BOOL RemoveAt(int index) { return this->RemoveElement(index); }
    void RemoveAll() { this->SetSize(0); }
};

// An array of pointers to T. It does not own what it points to.
template <typename T>
class OPointerArray : public OTypedArray<void*> {
public:
    explicit OPointerArray(int grow_by = 0) : OTypedArray<void*>(grow_by) {}
    ~OPointerArray() override = default;

    T* GetAt(int index) const { return static_cast<T*>(OTypedArray<void*>::GetAt(index)); }
    BOOL Add(T* value) { return OTypedArray<void*>::Add(value); }
};
