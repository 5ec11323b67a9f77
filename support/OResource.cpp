#include "OResource.h"

#include "ODdzFileSource.h"
#include "ODdzFormat.h"
#include "OFile.h"

OResource::OResource(std::vector<uint8_t>& central, const OString& archive)
    : Time_(), Archive_(archive), flagLoaded_(false)
{
    Central_.swap(central);
    const int name_length = ODdz::CentralNameLength(Central_);
    Name_ = OString(reinterpret_cast<LPCSTR>(Central_.data() + ODdz::CENTRAL_SIZE), name_length, OCP_UTF8);
}

OResource::~OResource() = default;

BOOL OResource::Load()
{
    if (flagLoaded_)
        return TRUE;
    if (Local_.empty()) {
        OFile file;
        if (!file.Open(Archive_, 0))
            return FALSE;
        ODdzFileSource source(file);
        if (!ODdz::ReadLocalRecord(source, ODdz::CentralLocalOffset(Central_), Local_)) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        const ODdz::LocalInfo info = ODdz::ParseLocal(Local_);
        FILETIME local_time;
        if (DosDateTimeToFileTime(info.DosDate, info.DosTime, &local_time))
            LocalFileTimeToFileTime(&local_time, &Time_);
    }
    if (!ODdz::Inflate(Local_, Data_)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    flagLoaded_ = true;
    return TRUE;
}
