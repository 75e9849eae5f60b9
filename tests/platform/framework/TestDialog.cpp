#include "TestDialog.h"

#include "Framework.h"

const AFX_MSGMAP_ENTRY CTestDialog::entries[] = {
    MessageMapEntries<CTestDialog>::onClicked<&CTestDialog::onPress>(pressId),
    MessageMapEntries<CTestDialog>::onTimer<&CTestDialog::onTick>(),
    MessageMapEntries<CTestDialog>::onDestroy<&CTestDialog::onDestroyed>(),
};
const AFX_MSGMAP CTestDialog::messageMap { &CDialog::messageMap, entries };

namespace {
constexpr std::uint8_t notAnIcon[] = { 0, 0, 1, 0, 9, 0, 'n', 'o', 'p', 'e' };
constexpr auto versionStrings
    = padVersionStrings({ u"Tests", u"framework_tests", u"Framework tests" });
constexpr VersionRecord version = padVersionRecord(versionStrings);
} // namespace

const ProgramResources& programResources()
{
    static const IconGroup icons[] = { { IDI_PAD_ICON, padIconFile() }, { 129, notAnIcon } };
    static const ProgramResources resources { dialogs, icons, version };
    return resources;
}
