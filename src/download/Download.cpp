// Firmware download: Write Prog, the block answers, progress and Verify's sum.
#include "app/ConsoleDialog.h"
#include "download/ImageLoader.h"
#include "link/Frame.h"

namespace qeld {

void ConsoleDialog::OnWriteProg() {
  if (m_bBusy) return;
  m_nImageOffset = 0;
  const auto path = m_wnd.FileOpenDialog("BIN(*.BIN)|*.bin|HEX(*.hex)|*.hex||");
  if (!path) {
    m_wnd.MessageBox("Cannot open the file !", kAppName, MB_OK | MB_ICONSTOP);
    return;
  }
  const ImageKind kind = ImageKindOf(*path);
  if (kind == ImageKind::None) {
    m_wnd.MessageBox("Cannot use the file " + EscapeControls(*path) +
                         " !\nA firmware image must end in .bin, .BIN, .hex or .HEX.",
                     kAppName, MB_OK | MB_ICONSTOP);
    return;
  }
  // Load into a copy: a refused file leaves the image of the last good one in
  // place, and nothing is sent.
  std::vector<uint8_t> image = m_Image;
  const LoadResult r = LoadImageFile(kind, *path, image);
  if (!r.ok) {
    m_wnd.MessageBox("Cannot load the file " + EscapeControls(*path) + " !\n" + r.error + "\nNothing was sent.",
                     kAppName, MB_OK | MB_ICONSTOP);
    return;
  }
  m_Image.swap(image);
  m_bHexImage = kind == ImageKind::Hex;
  m_bBinImage = kind == ImageKind::Bin;
  if (m_bBinImage) m_nImageLength = r.length;

  m_bDownloading = 1;
  m_nProgress = 0;
  m_wnd.SetProgressPos(ctl::kProgress, 0);
  m_wnd.SetTimer(kTimerProgress, static_cast<unsigned>(kProgressRefresh.count()));
  SendCommand(21);
}

void ConsoleDialog::OnBlockAnswer() {
  const uint8_t errorByte = static_cast<uint8_t>(m_strFrame[4]);
  if (errorByte != kSpace) {
    ShowDeviceError(static_cast<uint8_t>(errorByte - kSpace));
    StopDownload();  // stopped at this block; the bar keeps its last position
  }
  if (!m_bDownloading) return;
  const unsigned length = m_bHexImage ? static_cast<unsigned>(kHexImageLength) : m_nImageLength;
  if (length == 0) return;
  m_nProgress = static_cast<int>(m_nImageOffset * 200u / length);
  if (m_nImageOffset < length) {
    // Posted, so the next block goes out after this transaction has closed.
    m_wnd.PostMessage(UM_SEND_NEXT, 0, 0);
    return;
  }
  m_bDownloading = 0;
  m_nProgress = 200;
  m_wnd.SetProgressPos(ctl::kProgress, 200);
  RefreshEnables();
  m_wnd.KillTimer(kTimerProgress);
  m_wnd.MessageBox("Downloading Done!", kAppName, MB_OK);
}

void ConsoleDialog::OnProgressTimer() {
  // The refresh writes the fields back from the state: once the download has
  // stopped, that would wipe what the operator types, so it ends with it.
  if (!m_bDownloading) return;
  m_wnd.SetProgressPos(ctl::kProgress, m_nProgress);
  WriteFields();
  m_wnd.SetTimer(kTimerProgress, static_cast<unsigned>(kProgressRefresh.count()));
}

void ConsoleDialog::StopDownload() {
  m_bDownloading = 0;
  m_wnd.KillTimer(kTimerProgress);
}

unsigned ConsoleDialog::ImageSum() const {
  const unsigned n = m_bHexImage ? kHexImageLength : m_bBinImage ? kBinVerifyLength : 0;
  unsigned sum = 0;
  for (unsigned i = 0; i < n; ++i) sum += m_Image[i];
  return sum & 0xFFFF;
}

}  // namespace qeld
