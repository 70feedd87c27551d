// The photo date: EXIF DateTimeOriginal read as local time of the capture date, the file date
// otherwise, and the two zero creation dates.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "MetadataFixtures.h"
#include "metadata/CaptureDate.h"
#include "platform/FileTimes.h"
#include "support/CapturedOutput.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {

using test::utc;

// US Pacific rules without needing the zone database.
const char* kPacific = "PST8PDT,M3.2.0,M11.1.0";

TEST(CaptureDate, ExifTextIsLocalTimeOfTheCaptureDate) {
    test::ScopedEnv tz("TZ", kPacific);
    struct Row {
        const char* text;
        std::optional<SystemTime> expected;
    };
    const Row rows[] = {
        {"2010:11:26 14:05:09", utc(2010, 11, 26, 22, 5, 9)},  // PST, -0800
        {"2010:03:14 01:59:59", utc(2010, 3, 14, 9, 59, 59)},  // last second of PST
        {"2010:03:14 03:00:00", utc(2010, 3, 14, 10, 0, 0)},   // first of PDT
        {"2012:02:29 23:59:59", utc(2012, 3, 1, 7, 59, 59)},
        // Anything but date, blank, time is no date rather than a wrong one.
        {" 2010:11:26 14:05:09", std::nullopt},
        {"0000:00:00 00:00:00", std::nullopt},
        {"2010:11:26T14:05:09", std::nullopt},
        {"2010:11:26 14:05:09 ", std::nullopt},
        {"2010:13:01 00:00:00", std::nullopt},
        {"2010:02:29 00:00:00", std::nullopt},
        {"2010:11:26 24:00:00", std::nullopt},
        {"9999:12:31 23:59:59", std::nullopt},  // beyond the clock's range
        {"1900:01:01 00:00:00", utc(1900, 1, 1, 8, 0, 0)},
        {"2200:12:31 23:59:59", utc(2201, 1, 1, 7, 59, 59)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto got = exifDateTimeToTime(row.text);
        EXPECT_EQ(got, row.expected);
        if (got) {
            // Formatted in the same zone, the capture time is the camera's text again, on
            // either side of a daylight-saving change.
            EXPECT_EQ(formatLocalTime(*got, "%Y:%m:%d %H:%M:%S"), row.text);
        }
    }
}

TEST(CaptureDate, InternalDateFromExifElseTheFileDate) {
    test::ScopedEnv tz("TZ", kPacific);
    test::TempDir dir;
    test::CapturedOutput quiet(2);
    const auto old = utc(2001, 2, 3, 4, 5, 6);

    auto datedPath =
        test::writeJpeg((dir / "dated.jpg").string(), {.dateTimeOriginal = "2010:11:26 14:05:09"});
    const std::vector<std::string> withoutDate = {
        test::writeJpeg((dir / "undated.jpg").string(),
                        {.userComment = capture::metadataText(Dictionary{{"Version", "1"}})}),
        test::writeJpeg((dir / "blank.jpg").string(), {.dateTimeOriginal = "    :  :     :  :  "}),
        test::writeJpeg((dir / "noexif.jpg").string(), {.exif = false}),
        test::writePng((dir / "photo.png").string(), test::pngWith(Dictionary{})),
    };
    for (const auto& p : withoutDate) test::setModificationTime(p, old);
    test::setModificationTime(datedPath, old);

    const auto exifDate = utc(2010, 11, 26, 22, 5, 9);
    EXPECT_EQ(GetInternalPictureCaptureDate(datedPath, kExifDictionary, kExifDateTimeOriginal),
              exifDate);
    EXPECT_EQ(GetAndUpdateFileCreationDate(datedPath, true), exifDate);
    // Without useInternalDate the EXIF date is never consulted.
    EXPECT_EQ(GetAndUpdateFileCreationDate(datedPath, false), fileBirthTime(datedPath));
    // Only the Exif dictionary holds DateTimeOriginal; unknown names give nothing.
    EXPECT_FALSE(GetInternalPictureCaptureDate(datedPath, kTiffDictionary, kTiffDateTime));

    for (const auto& p : withoutDate) {
        SCOPED_TRACE(p);
        EXPECT_FALSE(GetInternalPictureCaptureDate(p, kExifDictionary, kExifDateTimeOriginal));
        auto date = GetAndUpdateFileCreationDate(p, true);
        ASSERT_TRUE(date);
        EXPECT_EQ(date, fileBirthTime(p));
        EXPECT_EQ(fileModificationTime(p), old) << "the file must not be changed";
    }

    // The file date is the creation date where the file system keeps one, not the
    // modification date.
    struct statx stx {};
    ASSERT_EQ(::statx(AT_FDCWD, withoutDate[0].c_str(), 0, STATX_BTIME, &stx), 0);
    if (stx.stx_mask & STATX_BTIME) {
        EXPECT_NE(GetAndUpdateFileCreationDate(withoutDate[0], false), old);
    }

    EXPECT_FALSE(GetAndUpdateFileCreationDate((dir / "gone.jpg").string(), true));
    EXPECT_FALSE(GetAndUpdateFileCreationDate((dir / "gone.jpg").string(), false));
}

TEST(CaptureDate, ZeroCreationDatesGiveTheModificationDate) {
    test::CapturedOutput quiet(2);
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    const SystemTime epoch{};
    const SystemTime mac1904 = epoch - seconds(2082844800);
    const auto modified = utc(2010, 11, 26, 22, 5, 9);
    struct Row {
        const char* name;
        std::optional<SystemTime> creation, modification, expected;
    };
    const Row rows[] = {
        {"1904 within the second", mac1904 + milliseconds(999), modified, modified},
        {"1970 within the second", epoch + milliseconds(500), modified, modified},
        {"1970 one second later", epoch + seconds(1), modified, epoch + seconds(1)},
        {"just before 1970", epoch - milliseconds(1), modified, epoch - milliseconds(1)},
        {"no attributes", std::nullopt, modified, std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(photoDateFromFileDates(row.creation, row.modification), row.expected) << row.name;
    }
}

}  // namespace
}  // namespace vorn
