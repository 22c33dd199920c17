// Format checks and data intersection against the stream's published format list.
#include "driver/stream.h"
#include "driver/stream_formats.h"

namespace {

// Two GUIDs match when they are equal and not the wildcard, or when exactly one is the wildcard.
BOOLEAN GuidMatches(const GUID& a, const GUID& b) {
    const bool aWild = IsEqualGUID(a, KSDATAFORMAT_TYPE_WILDCARD);
    const bool bWild = IsEqualGUID(b, KSDATAFORMAT_TYPE_WILDCARD);
    if (aWild || bWild)
        return aWild != bWild;
    return IsEqualGUID(a, b);
}

BOOLEAN RangeMatches(const KSDATARANGE* caller, const KSDATARANGE* record, BOOLEAN compareSize) {
    if (compareSize && caller->FormatSize != record->FormatSize)
        return FALSE;
    return GuidMatches(caller->MajorFormat, record->MajorFormat) &&
           GuidMatches(caller->SubFormat, record->SubFormat) &&
           GuidMatches(caller->Specifier, record->Specifier);
}

// The image a video format declares must fit its biSizeImage; no 32-bit sum or product wraps.
BOOLEAN ImageFitsDeclaredSize(const KS_DATAFORMAT_VIDEOINFOHEADER* format) {
    const KS_BITMAPINFOHEADER& bmi = format->VideoInfoHeader.bmiHeader;
    const ULONGLONG headers = sizeof(KSDATAFORMAT) + 48ull + bmi.biSize;
    if (headers > 0xFFFFFFFFull || headers > format->DataFormat.FormatSize)
        return FALSE;
    const ULONGLONG height = bmi.biHeight < 0 ? 0ull - static_cast<LONGLONG>(bmi.biHeight)
                                              : static_cast<ULONGLONG>(bmi.biHeight);
    const ULONGLONG pixels = static_cast<ULONGLONG>(static_cast<ULONG>(bmi.biWidth)) * height;
    if (pixels > 0xFFFFFFFFull)
        return FALSE;
    const ULONGLONG bits = pixels * bmi.biBitCount;
    if (bits > 0xFFFFFFFFull)
        return FALSE;
    return bmi.biSizeImage >= bits / 8;
}

}  // namespace

BOOLEAN VerifyFormat(const KSDATAFORMAT* format, ULONG streamNumber) {
    if (streamNumber != 0 || format == nullptr)
        return FALSE;
    const HW_STREAM_INFORMATION* info = StreamInformation();
    for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; ++i) {
        if (!RangeMatches(format, info->StreamFormatsArray[i], FALSE))
            continue;
        if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) &&
            format->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
            return ImageFitsDeclaredSize(
                reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format));
        }
    }
    return FALSE;
}

VOID GetDataIntersection(PHW_STREAM_REQUEST_BLOCK srb) {
    PSTREAM_DATA_INTERSECT_INFO intersect = srb->CommandData.IntersectInfo;
    if (intersect == nullptr || intersect->DataRange == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (intersect->StreamNumber != 0) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
        return;
    }
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(intersect->DataRange);
    const HW_STREAM_INFORMATION* info = StreamInformation();
    BOOLEAN found = FALSE;
    for (ULONG i = 0; i < info->NumberOfFormatArrayEntries && !found; ++i) {
        const KSDATARANGE* recordRange = info->StreamFormatsArray[i];
        if (!RangeMatches(&caller->DataRange, recordRange, TRUE))
            continue;
        // Sizes are equal here, so the caller's range holds a whole KS_DATARANGE_VIDEO.
        if (!IsEqualGUID(caller->DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            srb->Status = STATUS_NO_MATCH;
            return;
        }
        const auto* record = reinterpret_cast<const KS_DATARANGE_VIDEO*>(recordRange);
        found = caller->bFixedSizeSamples == record->bFixedSizeSamples &&
                caller->bTemporalCompression == record->bTemporalCompression &&
                caller->StreamDescriptionFlags == record->StreamDescriptionFlags &&
                caller->MemoryAllocationFlags == record->MemoryAllocationFlags;
    }
    if (!found) {
        srb->Status = STATUS_NO_MATCH;
        return;
    }
    // The format is built from the caller's range. Its bitmap header must at least hold the
    // standard fields, since biSizeImage is written into it.
    const ULONGLONG b = caller->VideoInfoHeader.bmiHeader.biSize;
    const ULONGLONG needed = sizeof(KS_DATARANGE_VIDEO) - sizeof(KS_BITMAPINFOHEADER) + b;
    if (b < sizeof(KS_BITMAPINFOHEADER) || needed > 0xFFFFFFFFull ||
        caller->DataRange.FormatSize < needed) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    const ULONG n = static_cast<ULONG>(sizeof(KSDATAFORMAT) + 48 + b);
    if (intersect->DataFormatBuffer == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (intersect->SizeOfDataFormatBuffer == sizeof(ULONG)) {
        *static_cast<PULONG>(intersect->DataFormatBuffer) = n;
        srb->ActualBytesTransferred = sizeof(ULONG);
        return;
    }
    if (intersect->SizeOfDataFormatBuffer < n) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    auto* result = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(intersect->DataFormatBuffer);
    RtlCopyMemory(&result->DataFormat, &caller->DataRange, sizeof(KSDATARANGE));
    result->DataFormat.FormatSize = n;
    RtlCopyMemory(&result->VideoInfoHeader, &caller->VideoInfoHeader, 48 + b);
    KS_BITMAPINFOHEADER& bmi = result->VideoInfoHeader.bmiHeader;
    const ULONG stride =
        ((static_cast<ULONG>(bmi.biBitCount) * static_cast<ULONG>(bmi.biWidth) + 31) / 32) * 4;
    const ULONG height =
        bmi.biHeight < 0 ? 0u - static_cast<ULONG>(bmi.biHeight) : static_cast<ULONG>(bmi.biHeight);
    const ULONG image = stride * height;
    result->DataFormat.SampleSize = image;
    bmi.biSizeImage = image;
    srb->ActualBytesTransferred = n;
}
