#include "ORegistryKeys.h"

#include <atomic>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "OCriticalSection.h"

namespace {

struct KeyRow {
    LPCWSTR Key;
    LPCWSTR Template;
};

// In the order the rows are inserted.
const KeyRow KEY_ROWS_[] = {
    {L"CLASSES_ROOT", L"0:"},
    {L"CURRENT_USER", L"1:"},
    {L"USER", L"1:SOFTWARE/Brenwick/Drivers"},
    {L"USERSETTINGS", L"1:SOFTWARE/Brenwick/Drivers/Printers/[PRINTER]/Settings"},
    {L"USERSTOCK", L"1:SOFTWARE/Brenwick/Drivers/Paper Sizes/[PRINTER]"},
    {L"USERPAPERSIZES", L"1:SOFTWARE/Brenwick/Drivers/Printers/[PRINTER]/PrinterDriverData/Paper Sizes"},
    {L"LOCAL_MACHINE", L"2:"},
    {L"CONTROL", L"2:SYSTEM/CurrentControlSet/Control"},
    {L"PRINT", L"2:SYSTEM/CurrentControlSet/Control/Print"},
    {L"MONITOR", L"2:SYSTEM/CurrentControlSet/Control/Print/Monitors/Brenwick Network Monitor"},
    {L"PNPDATA", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PnPData"},
    {L"DATA", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData"},
    {L"CACHE", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Cache"},
    {L"DEBUG", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Development"},
    {L"FONTS", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Downloaded Fonts"},
    {L"MODEL", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Model"},
    {L"PAPERSIZES", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Paper Sizes"},
    {L"PRESETS", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Presets"},
    {L"SECURITY", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Security"},
    {L"SETTINGS", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Settings"},
    {L"ENUM", L"2:SYSTEM/CurrentControlSet/Enum"},
    {L"LOCAL", L"2:SOFTWARE/Brenwick/Drivers"},
    {L"CRASHDUMP", L"2:SOFTWARE/Brenwick/Drivers/Debug/CrashDump"},
    {L"STOCK", L"2:SOFTWARE/Brenwick/Drivers/Paper Sizes"},
    {L"GLOBAL", L"2:SOFTWARE/Brenwick/Drivers/GlobalSettings"},
    {L"NETWORK", L"2:SOFTWARE/Brenwick/Drivers/Network/@[SERVER]"},
    {L"PARAMETERSET", L"2:SOFTWARE/Brenwick/Drivers/Parameter Sets"},
    {L"USERS", L"3:"},
};

typedef std::map<std::wstring, OString> KeyTable;

// Owns the table for the life of the process.
struct TableHolder {
    std::atomic<KeyTable*> Table_{nullptr};
    ~TableHolder() { delete Table_.load(); }
};

TableHolder& Holder()
{
    static TableHolder holder;
    return holder;
}

OCriticalSection& BuildLock()
{
    static OCriticalSection lock;
    return lock;
}

}  // namespace

void BuildRegistryKeys()
{
    TableHolder& holder = Holder();
    if (holder.Table_.load(std::memory_order_acquire))
        return;
    OAutoLock guard(BuildLock());
    if (holder.Table_.load(std::memory_order_relaxed))
        return;
    try {
        std::unique_ptr<KeyTable> table(new KeyTable);
        for (const KeyRow& row : KEY_ROWS_)
            table->emplace(row.Key, OString(row.Template));
        holder.Table_.store(table.release(), std::memory_order_release);
    } catch (const std::bad_alloc&) {
        // Without a table no key expands; a later call tries again.
    }
}

const OString* FindRegistryKey(const OString& upper_key)
{
    const KeyTable* table = Holder().Table_.load(std::memory_order_acquire);
    if (!table)
        return nullptr;
    try {
        const auto it = table->find(upper_key.Wide());
        return it == table->end() ? nullptr : &it->second;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
