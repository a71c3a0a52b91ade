#include <iterator>

#include "form/FormView.h"

namespace {

using K = CtlKind;

// The window as designed; "&" marks a caption's access key.
constexpr ControlDesign kDesign[] = {
    {Ctl::Label1, 1, K::Label, "Label1", "Testfile:", "", 0},
    {Ctl::txtTestFile, 0, K::TextBox, "txtTestFile", "C:\\_Orvandel.$$$", "", 0},
    {Ctl::cmdBrowse, 0, K::Button, "cmdBrowse", "...", "", 0},
    {Ctl::lblReadStatus, 4, K::Label, "lblReadStatus", "", "", 0},
    {Ctl::Label2, 1, K::Label, "Label2", "Filesize:", "", 0},
    {Ctl::txtSize, 0, K::TextBox, "txtSize", "200", "", 0},
    {Ctl::lblSizeUnit, 0, K::Label, "lblSizeUnit", "MB", "", 0},
    {Ctl::Label4, 0, K::Label, "Label4", "BlockSize:", "", 0},
    {Ctl::txtBlockSizeSectors, 0, K::TextBox, "txtBlockSizeSectors", "2048", "", 0},
    {Ctl::lbl512, 0, K::Label, "lbl512", "x 512 Bytes =", "", 0},
    {Ctl::lblBlockSize, 0, K::Label, "lblBlockSize", "99999 KB", "", 0},
    {Ctl::chkFileFlags, 0, K::CheckBox, "chkFileFlags", "FILE_FLAG_RANDOM_ACCESS", "10000000", 0},
    {Ctl::chkFileFlags, 1, K::CheckBox, "chkFileFlags", "FILE_FLAG_NO_BUFFERING", "20000000", 0},
    {Ctl::chkFileFlags, 2, K::CheckBox, "chkFileFlags", "FILE_FLAG_WRITE_THROUGH", "80000000", 0},
    {Ctl::chkFileFlags, 3, K::CheckBox, "chkFileFlags", "FILE_FLAG_SEQUENTIAL_SCAN", "08000000", 0},
    {Ctl::cmdFileReadWrite, 0, K::Button, "cmdFileReadWrite", "Read File", "", 0},
    {Ctl::cmdFileReadWrite, 1, K::Button, "cmdFileReadWrite", "Write File", "", 0},
    {Ctl::cmdFileOp, 0, K::Button, "cmdFileOp", "Close File", "", 0},
    {Ctl::cmdFileOp, 1, K::Button, "cmdFileOp", "Delete File", "", 0},
    {Ctl::chkFlushAtFinish, 0, K::CheckBox, "chkFlushAtFinish", "flush file at finish", "", 1},
    {Ctl::chkFlushAtFinish, 1, K::CheckBox, "chkFlushAtFinish", "flush volume at finish", "", 1},
    {Ctl::chkFlushAllBlocks, 0, K::CheckBox, "chkFlushAllBlocks", "flush every block", "", 0},
    {Ctl::picDataType, 0, K::PictureBox, "picDataType", "", "", 0},
    {Ctl::optDataType, 0, K::OptionButton, "optDataType", "all &zeros", "", 1},
    {Ctl::optDataType, 1, K::OptionButton, "optDataType", "&random data", "", 0},
    {Ctl::lblReadStatus, 0, K::Label, "lblReadStatus", "", "", 0},
    {Ctl::lblReadStatus, 1, K::Label, "lblReadStatus", "", "", 0},
    {Ctl::lblReadStatus, 2, K::Label, "lblReadStatus", "", "", 0},
    {Ctl::lblReadStatus, 3, K::Label, "lblReadStatus", "", "", 0},
    {Ctl::Label5, 0, K::Label, "Label5", "Number of files:", "", 0},
    {Ctl::txtNumberOfFiles, 0, K::TextBox, "txtNumberOfFiles", "160", "", 0},
    {Ctl::cmdCreateAndDeleteFiles, 0, K::Button, "cmdCreateAndDeleteFiles",
     "Create and delete files", "", 0},
    // Added to the design: a Read run from the disk, and what the figure measured.
    {Ctl::chkEvictCache, 0, K::CheckBox, "chkEvictCache", "Read from the &disk (evict its cache)",
     "", 0},
    {Ctl::lblCacheVerdict, 0, K::Label, "lblCacheVerdict", "", "", 0},
    {Ctl::fraWrite, 0, K::Frame, "fraWrite", "", "", 0},
};

}  // namespace

std::span<const ControlDesign> DesignTable() { return kDesign; }

const ControlDesign* FindDesign(Ctl ctl, int index) {
  for (const auto& d : kDesign)
    if (d.ctl == ctl && d.index == index) return &d;
  return nullptr;
}
