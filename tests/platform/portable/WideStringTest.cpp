// CWideString: shared storage, appends in place, copies that never see later changes,
// and texts that cross the storage's chunk boundaries.
#include "WideString.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace std::string_view_literals;

namespace {

constexpr std::size_t chunk = CWideString::chunkUnits;

// A text whose every unit depends on its position and `seed`, so a unit read from the
// wrong place or written over shows up.
std::u16string pattern(std::size_t length, char16_t seed = 0)
{
    std::u16string out(length, u'\0');
    for (std::size_t at = 0; at < length; ++at)
        out[at] = char16_t(0x4000 + (at * 7 + seed) % 0x3000);
    return out;
}

std::vector<std::u16string> pieces(const CWideString& text, std::size_t from, std::size_t to)
{
    std::vector<std::u16string> out;
    text.forEachPiece(from, to, [&](std::u16string_view piece) { out.emplace_back(piece); });
    return out;
}

TEST(CWideString, AppendingToACopyWritesInPlaceAndLeavesTheOriginal)
{
    CWideString original = u"abc";
    CWideString copy = original;
    copy.append(u"def");
    copy.append(u'!');
    EXPECT_EQ(copy, u"abcdef!"sv);
    EXPECT_EQ(original, u"abc"sv);
    EXPECT_TRUE(copy.extends(original)) << "the append should have shared storage";
    EXPECT_FALSE(original.extends(copy)) << "a shorter string does not extend a longer one";
}

TEST(CWideString, CopyKeepsItsTextWhateverHappensToTheOriginal)
{
    CWideString original = u"field";
    CWideString kept = original;
    original.append(u" text");
    EXPECT_EQ(kept, u"field"sv);
    original = u"other";
    EXPECT_EQ(kept, u"field"sv);
    original.makeEmpty();
    EXPECT_EQ(kept, u"field"sv);
    EXPECT_TRUE(original.empty());
    original.append(u"again");
    EXPECT_EQ(kept, u"field"sv);
    EXPECT_EQ(original, u"again"sv);
}

TEST(CWideString, AppendingToAnOlderCopyLeavesTheNewerOne)
{
    CWideString older = u"line";
    CWideString newer = older;
    newer.append(u" one");
    older.append(u" two");
    EXPECT_EQ(newer, u"line one"sv);
    EXPECT_EQ(older, u"line two"sv);
    EXPECT_FALSE(older.extends(newer));
    EXPECT_FALSE(newer.extends(older));
    // The newer copy still sits at the end of the storage it shares.
    CWideString snapshot = newer;
    newer.append(u"!");
    EXPECT_TRUE(newer.extends(snapshot));
}

TEST(CWideString, ExtendsOnlyWhatItGrewFrom)
{
    CWideString shown = u"abc";
    CWideString next = shown;
    next.append(u"d");
    EXPECT_TRUE(next.extends(shown));
    EXPECT_TRUE(next.extends(next));

    CWideString assigned = shown;
    assigned = u"abcd";
    EXPECT_FALSE(assigned.extends(shown)) << "same text, but not grown from it";

    CWideString cleared = shown;
    cleared.makeEmpty();
    cleared.append(u"abcd");
    EXPECT_FALSE(cleared.extends(shown));

    CWideString unrelated = u"abcd";
    EXPECT_FALSE(unrelated.extends(shown));
    EXPECT_TRUE(unrelated.extends(CWideString())) << "everything grows from nothing";
}

TEST(CWideString, AppendsAcrossChunkBoundaries)
{
    std::u16string expected = pattern(chunk - 3);
    CWideString text(expected);
    CWideString beforeBoundary = text;
    text.append(std::u16string_view(u"0123456789"));
    expected += u"0123456789";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.length(), chunk + 7);
    EXPECT_EQ(text[chunk - 1], u'2');
    EXPECT_EQ(text[chunk], u'3');
    EXPECT_TRUE(text.extends(beforeBoundary));

    // One append spanning several chunks.
    std::u16string big = pattern(3 * chunk + 5, 11);
    text.append(big);
    expected += big;
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.toU16String(), expected);
    EXPECT_EQ(beforeBoundary, pattern(chunk - 3));
}

TEST(CWideString, PiecesSplitExactlyAtChunkBoundaries)
{
    std::u16string expected = pattern(2 * chunk + 10);
    CWideString text(expected);

    auto all = pieces(text, 0, text.length());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].size(), chunk);
    EXPECT_EQ(all[1].size(), chunk);
    EXPECT_EQ(all[0] + all[1] + all[2], expected);

    auto middle = pieces(text, chunk - 2, chunk + 3);
    ASSERT_EQ(middle.size(), 2u);
    EXPECT_EQ(middle[0] + middle[1], expected.substr(chunk - 2, 5));

    EXPECT_TRUE(pieces(text, 5, 5).empty());
    EXPECT_EQ(pieces(text, text.length() - 2, text.length() + 100).size(), 1u)
        << "the end is clamped to the length";

    EXPECT_EQ(text.substr(chunk - 2, 5), expected.substr(chunk - 2, 5));
    EXPECT_EQ(text.substr(2 * chunk + 8), expected.substr(2 * chunk + 8));
    EXPECT_EQ(text.substr(text.length() + 1), u"");
}

TEST(CWideString, EqualityComparesTextAcrossStorages)
{
    std::u16string expected = pattern(chunk + 20);
    CWideString whole(expected);
    CWideString byPieces;
    for (std::size_t at = 0; at < expected.size(); at += 1000)
        byPieces.append(std::u16string_view(expected).substr(at, 1000));
    EXPECT_EQ(whole, byPieces);

    std::u16string changed = expected;
    changed[chunk + 19] = u'x';
    EXPECT_FALSE(whole == CWideString(changed)) << "difference in the last unit of a chunk";
    changed = expected;
    changed[chunk - 1] = u'x';
    EXPECT_FALSE(whole == CWideString(changed)) << "difference at the end of the first chunk";
    EXPECT_FALSE(whole == CWideString(expected.substr(1))) << "different lengths";
    EXPECT_FALSE(whole == std::u16string_view(changed));

    // Copies on the same storage compare by length too.
    CWideString prefix = whole;
    whole.append(u'z');
    EXPECT_FALSE(whole == prefix);
    EXPECT_EQ(CWideString(), CWideString(u""));
}

TEST(CWideString, AppendingItselfOrAStringSharingItsStorage)
{
    CWideString small = u"ab";
    CWideString kept = small;
    small.append(small);
    EXPECT_EQ(small, u"abab"sv);
    EXPECT_EQ(kept, u"ab"sv);

    std::u16string expected = pattern(chunk - 1);
    CWideString large(expected);
    large.append(large);
    EXPECT_EQ(large, expected + expected);

    // And a string that shares its storage.
    CWideString base = u"base";
    CWideString longer = base;
    longer.append(u"+more");
    base.append(longer);
    EXPECT_EQ(base, u"basebase+more"sv);
    EXPECT_EQ(longer, u"base+more"sv);
}

// Random operations on several strings that share storage, checked after every step
// against plain std::u16string copies. Lengths cross chunk boundaries often.
TEST(CWideString, BehavesLikeIndependentValues)
{
    std::mt19937 random(20240611);
    constexpr std::size_t count = 4;
    std::vector<CWideString> strings(count);
    std::vector<std::u16string> model(count);
    auto pick = [&] { return std::size_t(random() % count); };

    for (int step = 0; step < 400; ++step) {
        std::size_t target = pick();
        std::size_t source = pick();
        if (model[target].size() > 4 * chunk) {
            // Keeps repeated appends of one string to another from growing without end.
            strings[target].makeEmpty();
            model[target].clear();
        }
        std::size_t length = random() % 3 == 0 ? random() % (chunk / 2) : random() % 8;
        std::u16string text = pattern(length, char16_t(step));
        switch (random() % 7) {
        case 0:
        case 1:
            strings[target].append(text);
            model[target] += text;
            break;
        case 2:
            strings[target] = strings[source];
            model[target] = model[source];
            break;
        case 3:
            strings[target].append(strings[source]);
            model[target] += model[source];
            break;
        case 4:
            strings[target].assign(text);
            model[target] = text;
            break;
        case 5:
            if (random() % 4 == 0) {
                strings[target].makeEmpty();
                model[target].clear();
            }
            break;
        default:
            strings[target].append(char16_t(u'a' + step % 26));
            model[target] += char16_t(u'a' + step % 26);
            break;
        }
        for (std::size_t at = 0; at < count; ++at) {
            ASSERT_EQ(strings[at].length(), model[at].size()) << "step " << step;
            ASSERT_TRUE(strings[at] == model[at]) << "step " << step << ", string " << at;
            for (std::size_t other = 0; other < count; ++other) {
                if (strings[at].extends(strings[other])) {
                    ASSERT_EQ(model[at].substr(0, model[other].size()), model[other])
                        << "extends() claimed a prefix that is not there, step " << step;
                }
            }
        }
    }
}

} // namespace
