// wiztest.exe against Wine's own mapi32.dll, whose LAUNCHWIZARD is an
// unimplemented stub that raises an exception when called.

#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

TEST_F(WiztestTest, WineStubWizardStillLeavesTheEntryWrittenBack) {
  test::WriteFileBytes(file_, kHandEdited);
  // Under any name but wiztest.exe, Wine gives the program its own library.
  const std::string renamed = program_.Join("wiztest-stub.exe");
  fs::copy_file(program_path_, renamed);
  LaunchOptions launch = Launch();
  launch.argv = {renamed};
  const ProcessResult r = RunProcess(launch);
  EXPECT_NE(r.exit_status, 1) << "the stub's exception must end the run";
  EXPECT_EQ(r.output.find("Press <Return>"), std::string::npos) << r.output;
  EXPECT_EQ(Held(), "Personal Address Book");
}

}  // namespace
}  // namespace quillpost
