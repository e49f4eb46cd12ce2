#pragma once
// Collects the product-information records handed to the host: every string
// placed in a record is a copy this collector owns until Detach, so an early
// return frees everything and a hand-over frees nothing.
#include <cstdint>
#include <cwchar>
#include <new>

#include "zelcom/CoMemAlloc.h"

template <typename T>
class CSVkParam : public T
{
public:
    CSVkParam() : T{} {}
    virtual ~CSVkParam()
    {
        while (m_head) {
            Node* next = m_head->next;
            delete m_head;
            m_head = next;
        }
    }
    CSVkParam(const CSVkParam&) = delete;
    CSVkParam& operator=(const CSVkParam&) = delete;

    // Gives every copied string away and returns the embedded record.
    virtual T* Detach()
    {
        for (Node* node = m_head; node; node = node->next)
            (void)node->text.Detach();
        return this;
    }

protected:
    // A copy of text that this object owns; null when text is null or memory
    // runs out.
    wchar_t* Copy(const wchar_t* text)
    {
        Node* node = new (std::nothrow) Node;
        if (!node)
            return nullptr;
        if (text)
            StoreCopy(node->text, text);
        if (m_tail)
            m_tail->next = node;
        else
            m_head = node;
        m_tail = node;
        return node->text.Get();
    }

private:
    struct Node
    {
        CCoMemAlloc<wchar_t> text;
        Node* next = nullptr;
    };

    static void StoreCopy(CCoMemAlloc<wchar_t>& owner, const wchar_t* text)
    {
        const size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
        if (wchar_t* copy = owner.Allocate(bytes))
            std::memcpy(copy, text, bytes);
    }

    Node* m_head = nullptr;
    Node* m_tail = nullptr;
};

class CSVkProductInfo : public CSVkParam<tagVKPRODUCT_INFO>
{
public:
    explicit CSVkProductInfo(uint32_t count);
    ~CSVkProductInfo() override = default;

    // Stores copies of name and value in the record at index; an index at or
    // beyond the count changes nothing.
    void SetInfo(uint32_t index, const wchar_t* name, const wchar_t* value);

    // Gives the array and every string in it to the caller.
    tagVKPRODUCT_INFO* Detach() override;

private:
    CCoMemAlloc<tagVKPRODUCT_INFO> m_records;
};
