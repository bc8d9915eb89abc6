// ConsoleDialog: the console window; it owns every piece of the console's
// state as plain members. Its operations live in the folder of the subsystem
// they belong to (app/, link/, commands/, responses/, download/, runs/,
// logging/).
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "comm/Comm.h"
#include "link/Protocol.h"
#include "monitor/LineMonitor.h"
#include "os/OutputFolder.h"
#include "window/Window.h"

namespace qeld {

// Title of the console's message boxes.
inline constexpr const char* kAppName = "QELD TP";
// What the MessageArea keeps of its end.
inline constexpr size_t kMessageAreaKeep = 64 * 1024;

class ConsoleDialog : public WindowHandler {
 public:
  explicit ConsoleDialog(WindowHost& wnd);
  ~ConsoleDialog() override;
  ConsoleDialog(const ConsoleDialog&) = delete;
  ConsoleDialog& operator=(const ConsoleDialog&) = delete;

  // --- WindowHandler ---
  void OnCommand(int id) override;
  void OnTimer(int id) override;
  LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM l) override;
  void OnAbout() override;

  // --- app/: start, fields, OPEN ---
  // The modal run: InitConsole, then the window's loop until EXIT/Esc/close.
  int DoModal();
  int InitConsole();
  void ReadFields();
  void WriteFields();
  void OnOpen();
  void OnPortLost(uint32_t opening);
  std::string& Text(int id) { return m_strText[id]; }  // bound field text by control id
  int& Check(int id) { return m_nCheck[id]; }           // bound check state by control id
  // Adds a line or notice to the MessageArea at once. The area keeps only
  // its last kMessageAreaKeep bytes, and is not part of the field exchange:
  // re-reading and re-setting it at every response made a flood of frames
  // slower with every frame.
  void AppendMessage(const std::string& text);
  void ClearMessageArea();

  // --- app/: page layout, enables, unit switch ---
  void RefreshPage();
  void HideAllControls();
  void ShowPage();
  void RefreshEnables();
  void OnTabChange();
  void UnitSwitchPoll();

  // --- app/: admin mode, field resets ---
  void OnAdminMode();
  void OnClearFields();
  void OnInitValues();

  // --- link/: receiver, transaction, device errors ---
  int OnCommData();
  LRESULT OnResponseFrame(WPARAM frameLength);
  void TimerDispatch(int id);
  void ShowDeviceError(uint8_t code);
  // Common tail of every transmission: busy, write, ACK timer, receiver state 1.
  void Transmit(const uint8_t* frame, int len);

  // --- commands/: request encoding, operator actions ---
  void SendCommand(int n);
  void OnButton(int id);
  void OnDispense();
  void OnCancelRepeat();
  void OnGoLoader();
  void OnReset();

  // --- responses/ ---
  void ApplyResponse();

  // --- download/ ---
  void OnWriteProg();
  void OnBlockAnswer();
  void OnProgressTimer();
  // Every way a download ends early (device error, ACK failure, a lost port,
  // OPEN) goes through here: the progress refresh stops with it.
  void StopDownload();
  unsigned ImageSum() const;

  // --- runs/ ---
  void ShowRunStatistics();
  void OnRepeatTimer();
  void OnLogRequestTimer();
  void UpdateDispenseStatistics(bool purge);

  // --- logging/ ---
  void OnLogData();
  std::string LogFileName() const;
  std::string LogFileIn(const OutputFolder& where) const;
  // Tells the MessageArea where log files go when that is not the working
  // folder, or that no folder will take them; once, until that changes.
  void NoteLogFolder(const OutputFolder& where);
  void WriteLogResponse();
  void CloseLogFile();
  void ReportLogFailure(const std::string& path, int err);
  // In the MessageArea with log mode on, else in a box.
  void ReportLogProblem(const std::string& text);

  // ======================= state =======================
  WindowHost& m_wnd;
  CComm m_Comm;
  // Every byte on the line, for the technician's line monitor window; closed
  // (not recording) until that window opens it.
  LineMonitor m_Monitor;

  // connection and mode flags
  int m_bConnected = 0;
  uint8_t m_bBusy = 0;
  int m_bAdminMode = 0;
  int m_bDownloading = 0;

  // page and unit switch
  int m_nPage = 0;
  int m_bHexSlit = 1;
  int m_nUnitSeen = 1;

  unsigned m_nPort = 1;
  // Names the program in the notes it leaves on the terminal (qeld-run runs the console too).
  std::string m_strProgramName = "qeld-console";

  // bound controls: one text per edit field, one int per check box / radio
  std::map<int, std::string> m_strText;
  std::map<int, int> m_nCheck;
  std::array<int, 4> m_nCstRadio{};   // first binding of the cassette radios
  std::array<int, 4> m_nCstRadio2{};  // second binding; decides what is shown
  int m_nUnitDecCheck = 0;            // radio 7022 "Dec[mm]"
  int m_nUnitHexCheck = 0;            // radio 7023 "Hex[slit]"
  // The bindings in their order, each with its entry above: the fields are
  // exchanged several times per request, too often to search the maps for
  // every field each time. Map entries never move, so the pointers hold.
  std::vector<std::pair<int, std::string*>> m_TextBindings;
  std::vector<std::pair<int, int*>> m_CheckBindings;
  // The enable state last given to each row of the page layout table (by
  // ShowPage or RefreshEnables, the only ones that set them): the rules run
  // after every request and timer tick and mostly change nothing.
  std::vector<int8_t> m_RowEnabled;

  // request and receiver
  uint8_t m_RequestBuffer[kRequestBufferSize] = {};
  int m_nRequestLength = 0;
  int m_nLogRequestLength = 0;
  bool m_bLastSentLog = false;  // the frame last sent is the log request at 1000
  int m_nAckRetries = 0;
  int m_nRxState = 0;
  std::string m_strFrame;
  int m_nFrameLength = 0;
  int m_cLastCommand = 0;
  int m_nSequence = 1;

  // repeat run and statistics
  int m_nRepeatLeft = 1;
  int m_nRepeatCount = 1;
  int m_nRepeatWait = 1;
  int& m_bLogMode;  // check box 7025, stored with the other check states
  std::array<int, 4> m_nRequested{};
  std::array<int, 4> m_nLastDispensed{};
  std::array<int, 4> m_nLastRejected{};
  std::array<int, 4> m_nAccDispensed{};
  std::array<int, 4> m_nAccRejected{};
  int m_nTotalRequested = 0;
  int m_nTotalDispensed = 0;
  int m_nTotalRejected = 0;
  // Reason counts in this order: Sonar, LEN, FSNR, fourth reason, FLEN, FDST, PICK.
  std::array<int, 7> m_nReason{};

  // log
  std::FILE* m_hLogFile = nullptr;
  std::time_t (*m_fnClock)(std::time_t*) = &std::time;  // names log files; tests fix it
  // The folder log files go to; tests give folders of their own.
  std::function<OutputFolder()> m_fnLogFolder = [] { return ChooseOutputFolder(); };
  std::string m_strLogFolderNoted;  // what NoteLogFolder last said ("" nothing)
  std::string m_strLogPath;
  bool m_bLogFailReported = false;  // the last log file could not be made, and that was told
  bool m_bStrayLogNoted = false;    // unasked log data has been noted since the last file or OPEN

  // firmware image
  std::vector<uint8_t> m_Image;
  int m_bHexImage = 0;
  int m_bBinImage = 0;
  unsigned m_nImageLength = 0;
  unsigned m_nImageOffset = 0;
  int m_nProgress = 0;
};

}  // namespace qeld
