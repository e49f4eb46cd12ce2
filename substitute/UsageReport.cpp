#include "substitute/UsageReport.h"

#include <cwchar>
#include <memory>
#include <new>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"
#include "substitute/Substitute.h"
#include "substitute/ZelVersionInfo.h"
#include "zelcom/ResultCode.h"
#include "zelcom/VkCreateInstance.h"
#include "ZelLUMO/ZelLUMOHelper.h"

using Plinth::ComPtr;
using Plinth::UniqueVariant;

namespace {

constexpr long kReportOutOfMemory = 0x08000008;
constexpr long kReportNullPointer = 0x08000057;

constexpr wchar_t kInstallationKey[] = L"Software\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kInstallationValue[] = L"isdudatali";
constexpr wchar_t kLastUpdateValue[] = L"Last Update";
constexpr size_t kLastUpdateChars = 260;
constexpr size_t kTailChars = 1024;
constexpr size_t kCountChars = 56;

constexpr long kPropertyUsers = 102;
constexpr long kPropertyAdminPassword = 109;
constexpr long kPropertyPassword = 202;
constexpr long kPropertyLimitation = 203;
constexpr long kPropertyProtected = 315;
// Property 203's value for a user without limits.
constexpr long kUnlimited = 6;
// The provider's mode value the report marks as 1.
constexpr long kReportedUserMode = 2;

bool StatusSucceeded(long status)
{
    return (status & 0x1FFFF) == 0;
}

// A text the report part holds; what does not fit is refused whole.
class ReportPart
{
public:
    ReportPart(wchar_t* buffer, size_t chars) : m_buffer(buffer), m_chars(chars) {}

    // Takes on text already in the buffer.
    void Adopt() { m_length = std::wcslen(m_buffer); }

    bool Append(const wchar_t* text)
    {
        const size_t length = std::wcslen(text);
        if (m_length + length >= m_chars)
            return false;
        std::wmemcpy(m_buffer + m_length, text, length + 1);
        m_length += length;
        return true;
    }

    const wchar_t* Get() const { return m_buffer; }
    size_t Length() const { return m_length; }

private:
    wchar_t* m_buffer;
    size_t m_chars;
    size_t m_length = 0;
};

// A text value of HKEY_LOCAL_MACHINE; a value of any other type is invalid data.
LONG ReadText(const wchar_t* subkey, const wchar_t* name, bool sealed, wchar_t* buffer, size_t chars)
{
    DWORD type = REG_NONE;
    DWORD bytes = static_cast<DWORD>(chars * sizeof(wchar_t));
    const LONG result = ReadRegistryStringValue(HKEY_LOCAL_MACHINE, subkey, name, &type, buffer, &bytes, sealed);
    if (result != ERROR_SUCCESS)
        return result;
    return type == REG_SZ || type == REG_MULTI_SZ ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

IUnknown* ObjectOf(const VARIANT& value)
{
    if (value.vt == VT_UNKNOWN)
        return value.punkVal;
    if (value.vt == VT_DISPATCH)
        return value.pdispVal;
    return nullptr;
}

bool Equals(VARIANT& value, long expected)
{
    UniqueVariant number;
    if (FAILED(::VariantChangeType(number.get(), &value, 0, VT_I4)))
        return false;
    return number.get()->lVal == expected;
}

int UserMode()
{
    ComPtr<IUserModeProvider> provider;
    if (FAILED(VkCreateInstanceNoAuth(CLSID_UserModeProvider, nullptr, CLSCTX_ALL, IID_IUserModeProvider,
                                      provider.put_void())) ||
        !provider)
        return 0;
    long mode = 0;
    long status = 0;
    if (FAILED(provider->GetUserMode(&mode, &status)) || !StatusSucceeded(status))
        return 0;
    return mode == kReportedUserMode ? 1 : 0;
}

struct ConfigCounts
{
    int users = 0;
    int limitedUsers = 0;
    int protectedUsers = 0;
    int adminPasswordSet = 0;
};

void CountUser(IUnknown* user, ConfigCounts& counts)
{
    ++counts.users;
    ComPtr<IZelConfigItem> item;
    if (FAILED(user->QueryInterface(IID_IZelConfigItem, item.put_void())) || !item)
        return;
    UniqueVariant value;
    long status = 0;
    if (SUCCEEDED(item->GetProperty(kPropertyLimitation, value.put(), &status)) && StatusSucceeded(status) &&
        !Equals(*value.get(), kUnlimited))
        ++counts.limitedUsers;
    status = 0;
    if (SUCCEEDED(item->GetProperty(kPropertyProtected, value.put(), &status)) && StatusSucceeded(status) &&
        value.get()->vt == VT_BOOL && value.get()->boolVal != VARIANT_FALSE)
        ++counts.protectedUsers;
}

void CountUsers(IZelConfig* config, ConfigCounts& counts)
{
    UniqueVariant value;
    long status = 0;
    if (FAILED(config->GetProperty(kPropertyUsers, value.put(), &status)) || !StatusSucceeded(status))
        return;
    IUnknown* object = ObjectOf(*value.get());
    if (!object)
        return;
    ComPtr<IZelConfigCollection> collection;
    if (FAILED(object->QueryInterface(IID_IZelConfigCollection, collection.put_void())) || !collection)
        return;
    ComPtr<IUnknown> enumerator;
    if (FAILED(collection->GetEnumerator(enumerator.put())) || !enumerator)
        return;
    ComPtr<IEnumVARIANT> users;
    if (FAILED(enumerator.As(IID_IEnumVARIANT, users)) || !users)
        return;
    UniqueVariant element;
    ULONG fetched = 0;
    while (users->Next(1, element.put(), &fetched) == S_OK) {
        IUnknown* user = ObjectOf(*element.get());
        if (!user)
            return;
        CountUser(user, counts);
    }
}

// False only when the empty text cannot be allocated.
bool ReadAdminPassword(IZelConfig* config, ConfigCounts& counts)
{
    UniqueVariant value;
    long status = 0;
    if (FAILED(config->GetProperty(kPropertyAdminPassword, value.put(), &status)) || !StatusSucceeded(status))
        return true;
    IUnknown* object = ObjectOf(*value.get());
    if (!object)
        return true;
    ComPtr<IZelConfigItem> item;
    if (FAILED(object->QueryInterface(IID_IZelConfigItem, item.put_void())) || !item)
        return true;
    UniqueVariant empty;
    empty.get()->bstrVal = ::SysAllocString(L"");
    if (!empty.get()->bstrVal)
        return false;
    empty.get()->vt = VT_BSTR;
    status = 0;
    // The password is set when the empty text does not match it.
    if (SUCCEEDED(item->CheckProperty(kPropertyPassword, *empty.get(), &status)))
        counts.adminPasswordSet = StatusSucceeded(status) ? 0 : 1;
    return true;
}

} // namespace

long BuildUsageReport(CZelHelper* helper, LPWSTR* report)
{
    std::unique_ptr<wchar_t[]> mainBuffer(new (std::nothrow) wchar_t[kUsageReportMainChars]);
    std::unique_ptr<wchar_t[]> tailBuffer(new (std::nothrow) wchar_t[kTailChars]);
    if (!mainBuffer || !tailBuffer)
        return kReportOutOfMemory;
    if (!report)
        return kReportNullPointer;

    LONG error = ReadText(kInstallationKey, kInstallationValue, true, mainBuffer.get(), kUsageReportMainChars);
    if (error != ERROR_SUCCESS)
        return MakeResultCode(static_cast<DWORD>(error));
    ReportPart main(mainBuffer.get(), kUsageReportMainChars);
    main.Adopt();

    // Read as the version record reads its fields: a value that does not fit
    // whole is left out, not cut.
    wchar_t lang[MAX_PATH];
    wchar_t domain[MAX_PATH];
    ReadTextField(kHostSubstituteKey, L"lang", lang);
    ReadTextField(kHostSubstituteKey, L"domain", domain);
    const int tailLength = Plinth::FormatWide(tailBuffer.get(), kTailChars, L"source=%s\tlang=%s", domain, lang);
    if (tailLength < 0)
        return MakeResultCode(ERROR_MORE_DATA);

    wchar_t lastUpdate[kLastUpdateChars];
    error = ReadText(kProductKey, kLastUpdateValue, false, lastUpdate, kLastUpdateChars);
    if (error != ERROR_SUCCESS)
        return MakeResultCode(static_cast<DWORD>(error));
    if (!main.Append(L"\tdate=") || !main.Append(lastUpdate))
        return MakeResultCode(ERROR_MORE_DATA);

    const int userMode = UserMode();
    ConfigCounts counts;
    ComPtr<IZelConfig> config;
    if (helper && SUCCEEDED(helper->GetConfig(config.put())) && config) {
        CountUsers(config.get(), counts);
        if (!ReadAdminPassword(config.get(), counts))
            return E_OUTOFMEMORY;
    }

    const struct
    {
        const wchar_t* format;
        int value;
    } fields[] = {
        {L"\tzel_user_mode=%d", userMode},
        {L"\tzel_users=%d", counts.users},
        {L"\tzel_non_adult_limited_users=%d", counts.limitedUsers},
        {L"\tzel_protected_users=%d", counts.protectedUsers},
        {L"\tzel_admin_password_set=%d", counts.adminPasswordSet},
    };
    for (const auto& field : fields) {
        wchar_t text[kCountChars];
        Plinth::FormatWide(text, kCountChars, field.format, field.value);
        if (!main.Append(text))
            return MakeResultCode(ERROR_MORE_DATA);
    }

    const size_t units = main.Length() + 1 + static_cast<size_t>(tailLength) + 1;
    auto* line = static_cast<wchar_t*>(::CoTaskMemAlloc(units * sizeof(wchar_t)));
    *report = line;
    if (!line)
        return kReportOutOfMemory;
    std::wmemcpy(line, main.Get(), main.Length());
    line[main.Length()] = L'\t';
    std::wmemcpy(line + main.Length() + 1, tailBuffer.get(), static_cast<size_t>(tailLength) + 1);
    return 0;
}
