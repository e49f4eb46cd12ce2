#include "zellumoap/SVkProductInfo.h"

CSVkProductInfo::CSVkProductInfo(uint32_t count) : m_records(count) {}

void CSVkProductInfo::SetInfo(uint32_t index, const wchar_t* name, const wchar_t* value)
{
    tagVKPRODUCT_INFO* records = m_records.Get();
    if (!records || index >= m_records.Count())
        return;
    records[index].pwszName = Copy(name);
    records[index].pwszValue = Copy(value);
}

tagVKPRODUCT_INFO* CSVkProductInfo::Detach()
{
    CSVkParam<tagVKPRODUCT_INFO>::Detach();
    return m_records.Detach();
}
