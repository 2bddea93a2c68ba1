#pragma once
// The names of the string table's entries (res/strings_table.cpp). Every entry
// has exactly one constant here; code names a text by its constant and never by
// its number. A constant is k + what the text says; run-header lines begin with
// kHeader, texts of the command line only with kCli, texts of the timestamp
// alignment with kAlign. A ...Base constant is the id that a result code is
// added to; it repeats the id of an ordinary entry.

namespace kestrum::msg {

// Platform start-up failures (no code shows them).
inline constexpr int kOleInitFailed = 100;
inline constexpr int kSocketInitFailed = 103;

// Main window and its message boxes.
inline constexpr int kStartButton = 42777;   // the start button while idle
inline constexpr int kCancelButton = 42778;  // the start button while a run goes on
inline constexpr int kAppName = 42779;       // caption of every message box
inline constexpr int kStoreDamaged = 42781;
inline constexpr int kAskRegisterFirstProfile = 42792;
inline constexpr int kLogFileCreateFailed = 42801;
inline constexpr int kRunFailedSeeLog = 42829;
inline constexpr int kAskQuitWhileRunning = 42830;
inline constexpr int kWaitForSafeStop = 57690;
inline constexpr int kCacheNeedsUploadOnly = 57706;  // the change cache item turned on without upload-only
inline constexpr int kHelpFileMissing = 60301;
inline constexpr int kOpenFailed = 60304;  // a web page or the help file could not be opened
inline constexpr int kProgramDirCreateFailed = 60303;
inline constexpr int kAnotherInstanceRunning = 60103;

// About box.
inline constexpr int kAboutContact = 42822;
inline constexpr int kAboutCopyright = 60302;

// Setup, new-profile, detail and proxy dialogs.
inline constexpr int kProfileNameEmpty = 42780;
inline constexpr int kProfileNameTaken = 42782;
inline constexpr int kEnterHostName = 42783;
inline constexpr int kEnterUserName = 42786;
inline constexpr int kEnterPassword = 42787;
inline constexpr int kEnterLocalDir = 42788;
inline constexpr int kAskDeleteProfile = 42789;
inline constexpr int kProfileNameTooLong = 42790;  // speaks of characters: names are refused with the next, in bytes
inline constexpr int kProfileNameTooManyBytes = 60040;
inline constexpr int kProfileNameHasComma = 42791;
inline constexpr int kPortNotPositive = 57691;
inline constexpr int kEnterProxyName = 57692;
inline constexpr int kTimeLagOutOfRange = 57693;
inline constexpr int kChosenPathTooLong = 60400;
// The setup dialog's check code c (1, 4, 5, 6) has the text kSetupCheckBase + c.
inline constexpr int kSetupCheckBase = kProfileNameTaken;
static_assert(kSetupCheckBase + 1 == kEnterHostName && kSetupCheckBase + 4 == kEnterUserName &&
              kSetupCheckBase + 5 == kEnterPassword && kSetupCheckBase + 6 == kEnterLocalDir);

// Auto-setup file.
inline constexpr int kAutoSetupSection = 42823;  // "[%s]": the header line of a profile's section, not a message

// Run settings that cannot be used: the texts of SettingsLoadMessage.
inline constexpr int kNoProfileToRun = 42793;
inline constexpr int kProfileDataBroken = 42794;
inline constexpr int kHostNotSet = 42795;
inline constexpr int kPortBroken = 42796;
inline constexpr int kNoPasswordGiven = 42797;
inline constexpr int kLocalDirNotSet = 42798;

// Run log: course of a run.
inline constexpr int kRunStarting = 42802;
inline constexpr int kScanningLocalDir = 42803;
inline constexpr int kLocalScanFinished = 57685;
inline constexpr int kNothingToUpdate = 57707;
inline constexpr int kConnecting = 57686;
inline constexpr int kConnected = 42805;
inline constexpr int kEnteredServerDir = 42806;
inline constexpr int kScanningServerDir = 42807;
inline constexpr int kScanningServerTree = 57679;
inline constexpr int kServerTreeScanned = 57680;
inline constexpr int kCompareStarting = 57682;
inline constexpr int kCompareFinished = 57681;
inline constexpr int kTransferStarting = 57687;
inline constexpr int kTransferFinished = 57688;
inline constexpr int kRunFinished = 42804;  // with the "done / total" counter

// Run log: planning and transfer lines.
inline constexpr int kWillUpdate = 42810;
inline constexpr int kServerDirCreated = 42809;
inline constexpr int kServerDirCreateFailed = 57689;
inline constexpr int kLocalDirCreated = 57684;
inline constexpr int kLocalDirCreateFailed = 57683;
inline constexpr int kUploaded = 42808;
inline constexpr int kUploadedAscii = 57699;
inline constexpr int kUploadFailed = 42819;
inline constexpr int kDownloaded = 57676;
inline constexpr int kDownloadedAscii = 57700;
inline constexpr int kDownloadFailed = 57677;
inline constexpr int kTimestampUpdated = 57678;  // the local copy took the server file's time
inline constexpr int kServerFileDeleted = 57703;
inline constexpr int kServerDirDeleted = 57704;

// Run log: how a run stops.
inline constexpr int kNoDirectionChecked = 57674;
inline constexpr int kLocalDirNotFound = 42799;
inline constexpr int kServerDirMissing = 42818;
inline constexpr int kRunCancelled = 42800;
inline constexpr int kStoppedByErrorAbove = 42817;
inline constexpr int kNetworkError = 42820;
inline constexpr int kUnexpectedError = 60100;
inline constexpr int kRunEndedAtOnce = 60030;  // a second cancel: the process ends without waiting for the run

// Run header: the settings of the run, one line each.
inline constexpr int kHeaderServer = 42811;
inline constexpr int kHeaderProxy = 57695;
inline constexpr int kHeaderPort = 57696;
inline constexpr int kHeaderLocalHome = 42812;
inline constexpr int kHeaderServerHome = 42813;
inline constexpr int kHeaderUpload = 42814;
inline constexpr int kHeaderDownload = 42815;
inline constexpr int kHeaderSubdirs = 42816;
inline constexpr int kHeaderOnlyBoth = 57705;  // also written when the change cache is on
inline constexpr int kHeaderMirrorFiles = 57701;
inline constexpr int kHeaderMirrorDirs = 57702;
inline constexpr int kHeaderAsciiExtensions = 57697;
inline constexpr int kHeaderExcludedExtensions = 57698;
inline constexpr int kHeaderTimeLag = 57694;

// Mended-fault lines: the run went on around a name or a directory it could
// not handle.
inline constexpr int kServerNameIgnored = 60000;
inline constexpr int kServerDirUnlisted = 60001;
inline constexpr int kNotUpdatedServerPathUnconfirmed = 60002;
inline constexpr int kNotUpdatedServerDirUnknown = 60003;
inline constexpr int kNotUpdatedLocalDirUnreadable = 60004;
inline constexpr int kServerFileKeptLocalDirUnreadable = 60005;
inline constexpr int kServerDirKeptLocalDirUnreadable = 60006;
inline constexpr int kServerDirKeptContentsUnknown = 60007;
inline constexpr int kLocalNameIgnored = 60008;  // a local name holding "\"
inline constexpr int kClockOffsetImpossible = 60009;
inline constexpr int kServerDirTooDeep = 60010;
inline constexpr int kServerFileDeleteRefused = 60011;
inline constexpr int kServerDirDeleteRefused = 60012;
inline constexpr int kItemsFailed = 60013;
inline constexpr int kLocalNameHasControlChar = 60014;
inline constexpr int kNotUpdatedServerTimeUnknown = 60015;
inline constexpr int kNotStampedServerTimeUnknown = 60016;
inline constexpr int kLocalFileChangedDuringUpload = 60017;
inline constexpr int kNameCaseAmbiguous = 60035;
inline constexpr int kProbeFileKept = 60036;
inline constexpr int kProgramDirUnwritable = 60037;
// The home listing holds a line no parser read: the probe writes nothing there.
inline constexpr int kClockNotMeasuredHomeUnreadable = 60038;
inline constexpr int kPreviewLocalNewer = 60050;
inline constexpr int kPreviewServerNewer = 60051;
inline constexpr int kPreviewMissingOnServer = 60052;
inline constexpr int kPreviewMissingLocally = 60053;
inline constexpr int kPreviewWithinTolerance = 60054;
inline constexpr int kPreviewOtherWayNotChecked = 60055;
inline constexpr int kPreviewExcluded = 60056;
inline constexpr int kPreviewWouldDelete = 60057;
inline constexpr int kPreviewSummary = 60058;
inline constexpr int kPreviewStarting = 60059;
inline constexpr int kMenuPreview = 60060;
inline constexpr int kAskMassDelete = 60061;
inline constexpr int kMassDeleteHeldBack = 60062;
inline constexpr int kMassDeleteDeclined = 60063;
inline constexpr int kMaxDeleteOutOfRange = 60064;
inline constexpr int kMassDeleteMore = 60065;
// The same two, when the limit is the automatic quarter of the server's files.
inline constexpr int kAskMassDeleteQuarter = 60713;
inline constexpr int kMassDeleteHeldBackQuarter = 60714;
// A preview's deletions above the limit: the run would wait for a confirmation.
inline constexpr int kPreviewMassDelete = 60715;
inline constexpr int kPreviewMassDeleteQuarter = 60716;

// FTP over TLS, the server's certificate and the transfer mode.
inline constexpr int kHeaderSecurity = 60080;
inline constexpr int kHeaderTransferMode = 60081;
inline constexpr int kSecurityPlain = 60082;
inline constexpr int kSecurityExplicit = 60083;
inline constexpr int kSecurityImplicit = 60084;
inline constexpr int kModePassive = 60085;
inline constexpr int kModeActive = 60086;
inline constexpr int kFtpSecurityOutOfRange = 60087;
inline constexpr int kCertificateUntrusted = 60088;
inline constexpr int kCertificateSubject = 60089;
inline constexpr int kCertificateIssuer = 60090;
inline constexpr int kCertificateValidity = 60091;
inline constexpr int kCertificateFingerprint = 60092;
inline constexpr int kAskTrustCertificate = 60093;
inline constexpr int kCertificateTrustHint = 60094;
inline constexpr int kCertificateKeyChanged = 60095;
inline constexpr int kCertificatePinnedKey = 60096;
inline constexpr int kCertificatePresentedKey = 60097;
inline constexpr int kCertificateKeyChangedHint = 60098;
inline constexpr int kCertificateTrusted = 60099;
inline constexpr int kCertificateDeclined = 60106;
inline constexpr int kCliCertificateVerified = 60107;
inline constexpr int kCliAskPinKey = 60108;
inline constexpr int kCliKeyNotStored = 60109;
inline constexpr int kKeyStoreFailed = 60110;
inline constexpr int kCliTrustNeedsTls = 60111;
inline constexpr int kCliKeyAlreadyPinned = 60112;
// SFTP: the connection kind and the server's host key.
inline constexpr int kSecuritySftp = 60114;
inline constexpr int kHostKeyType = 60115;
inline constexpr int kHostKeyFingerprint = 60116;
inline constexpr int kAskTrustHostKey = 60117;
inline constexpr int kHostKeyUntrusted = 60118;
inline constexpr int kHostKeyKnownHostsChanged = 60119;
inline constexpr int kHostKeyTrustHint = 60120;
inline constexpr int kHostKeyDeclined = 60121;
inline constexpr int kCliHostKeyKnown = 60122;
inline constexpr int kHostKeyNotKnown = 60123;
inline constexpr int kHostKeyDiffersFromKnownHosts = 60124;
inline constexpr int kHostKeyDiffersFromPinned = 60125;
inline constexpr int kSshKeyFileUnreadable = 60126;  // the detail dialog's SFTP key file
inline constexpr int kExtraConnectionRefused = 60070;
inline constexpr int kNotStampedConnectionLost = 60071;
inline constexpr int kParallelOutOfRange = 60072;
inline constexpr int kDetailParallelLabel = 60073;
inline constexpr int kDetailUploadTempLabel = 60740;
inline constexpr int kDetailUploadTempTip = 60741;
inline constexpr int kServerListingLineUnparsed = 60025;
inline constexpr int kServerFileKeptContentsUnknown = 60026;

// The profile store: a line of the file that QSettings would misread (the
// file is then neither read nor written), and a lock held too long.
inline constexpr int kStoreLineCutAtSemicolon = 60020;
inline constexpr int kStoreLineUnreadable = 60021;
inline constexpr int kStoreBusy = 60022;
// The store's directory or file cannot be created or written; the system's reason follows.
inline constexpr int kStoreDirCreateFailed = 60710;
inline constexpr int kStoreDirUnwritable = 60711;
inline constexpr int kStoreFileUnwritable = 60712;
inline constexpr int kLeftoverDownloadRemoved = 60032;  // a temporary download file of a run that died

// FTP connection errors (the text of an FtpError or of a failed transfer).
inline constexpr int kPathHasLineBreakOrNul = 60600;
inline constexpr int kLocalFileUnreadable = 60601;
inline constexpr int kTempFileCreateFailed = 60602;
inline constexpr int kLocalFileReplaceFailed = 60603;
inline constexpr int kBadHostName = 60604;
inline constexpr int kCredentialsHaveLineBreak = 60605;
inline constexpr int kNoProxyName = 60606;
inline constexpr int kConnectionClosed = 60607;
inline constexpr int kServerPathBlocked = 60608;
inline constexpr int kPathUnsendable = 60609;  // a control byte, or too long for one command
inline constexpr int kDownloadSizeMismatch = 60610;
inline constexpr int kTlsNotOffered = 60611;    // TLS required, and the server refused AUTH TLS
inline constexpr int kTlsHostMismatch = 60612;  // the certificate names another host
inline constexpr int kTlsCertificateRefused = 60613;
// An upload cut short by a cancel: the server may keep a partial file.
inline constexpr int kUploadCutByCancel = 60033;

// Uploads through a temporary name, and what the server is checked for.
inline constexpr int kUploadSizeMismatch = 60730;          // the reason of a failed upload
inline constexpr int kRenameOverExistingRefused = 60731;   // once per run: delete, then rename
inline constexpr int kRenameRefusedUploadInPlace = 60732;  // once per run: uploads go in place
inline constexpr int kTextStoredUnconverted = 60733;       // once per run
inline constexpr int kModeNotKept = 60734;
inline constexpr int kLeftoverUploadRemoved = 60735;
inline constexpr int kUploadNotOnServer = 60736;       // the reason of a failed upload
inline constexpr int kConnectionClockDiffers = 60737;  // an extra connection's server clock
inline constexpr int kBothChangedSinceLastCopy = 60738;
inline constexpr int kLocalTimeClamped = 60739;  // the file system cannot hold the server's time
// The change cache left unused for one run: its side file records no place
// (a cache of an older version), or another place (both named).
inline constexpr int kCacheNoPlaceRecorded = 60700;
inline constexpr int kCacheMadeForOtherPlace = 60701;

// Timestamp alignment.
inline constexpr int kAlignAskToStart = 57675;
inline constexpr int kAlignStarting = 57671;
inline constexpr int kAlignTimestampChanged = 57672;
inline constexpr int kTimestampChangeFailed = 57673;  // also after a transfer, when the local time cannot be set
inline constexpr int kAlignSkippedUnconfirmed = 60500;

// Command line.
inline constexpr int kCliUsage = 60101;
inline constexpr int kCliBadCommandLine = 60104;
inline constexpr int kCliUnknownProfile = 60102;
inline constexpr int kCliPasswordPrompt = 60105;   // a run asking for the profile's password
inline constexpr int kPassphrasePrompt = 60127;    // ... for the passphrase of an SFTP key file
inline constexpr int kSftpPasswordPrompt = 60128;  // ... for an SFTP password
inline constexpr int kCliCancelAgainToEndAtOnce = 60031;
inline constexpr int kCliAlignNotConfirmed = 60501;
inline constexpr int kCliUnknownValueName = 60200;
inline constexpr int kCliNotNameValue = 60201;
inline constexpr int kCliFlagNotZeroOrOne = 60202;
inline constexpr int kCliValueTooLong = 60203;
inline constexpr int kCliValueHasLineBreak = 60204;
inline constexpr int kCliPasswordOnCommandLine = 60205;
inline constexpr int kCliPasswordReadFailed = 60206;
inline constexpr int kCliValueGivenTwice = 60207;
inline constexpr int kCliBadConnectionType = 60208;
inline constexpr int kCliPasswordInputWithoutSave = 60209;  // PSW=- given with PSWSVD=0
inline constexpr int kCliStoreUnusable = 60210;
inline constexpr int kCliShowNoValue = 60211;
inline constexpr int kCliShowPasswordSaved = 60212;
inline constexpr int kCliShowPasswordNotSaved = 60213;
inline constexpr int kCliShowPasswordEmpty = 60214;
inline constexpr int kCliNewPasswordPrompt = 60215;  // the password to save with "profile set"

// The protocol trace (--trace FILE) and its notes about each connection.
inline constexpr int kCliTraceFileUnusable = 60750;
inline constexpr int kTraceConnected = 60751;
inline constexpr int kTraceConnectedThroughProxy = 60752;
inline constexpr int kTraceTlsStarted = 60753;
inline constexpr int kTraceClosed = 60754;
inline constexpr int kTraceDropped = 60755;
inline constexpr int kTraceLoggingInAgain = 60756;
inline constexpr int kImplicitTlsPort = 60760;  // an explicit-TLS profile at a port that speaks TLS at once

// The local watcher (inotify): a directory that cannot be watched.
inline constexpr int kWatchLimitReached = 60800;  // the system's limit on watches (ENOSPC)
inline constexpr int kWatchDirFailed = 60801;     // any other reason; the system's text follows

// Watching the local tree and sending each change.
inline constexpr int kWatchStarting = 60802;            // the start line of a watch (the profile name)
inline constexpr int kWatchReady = 60803;               // watching has begun (the local directory)
inline constexpr int kWatchBatch = 60804;               // a batch: the time, files changed, removed
inline constexpr int kWatchConnectionLost = 60805;      // the retry delay in seconds, the changes kept
inline constexpr int kWatchIdleConnectionLost = 60806;  // the kept connection broke while nothing was to send
inline constexpr int kWatchStopped = 60807;             // the end of a watch
inline constexpr int kWatchNeedsUpload = 60808;         // a profile that does not upload
inline constexpr int kWatchCannotStart = 60809;         // the local directory and the reason
inline constexpr int kWatchRescan = 60810;              // events were lost: the tree is compared with the last snapshot
inline constexpr int kWatchServerCheck = 60811;         // the interval check of the server (both directions)
inline constexpr int kWatchStatusSent = 60812;          // the status line: the time and the files of the last batch
inline constexpr int kWatchStatusIdle = 60813;          // the status line before the first batch
inline constexpr int kWatchStatusRetrying = 60814;  // the status line while the server cannot be reached (changes kept)
inline constexpr int kMenuWatch = 60815;            // the menu item
inline constexpr int kWatchCatchUp = 60816;         // files changed while the first run went
inline constexpr int kWatchIntervalOutOfRange = 60817;   // WATCH_SERVER_INTERVAL out of range
inline constexpr int kWatchStatusFailed = 60818;         // the status line: the time and the failed items of a batch
inline constexpr int kDetailWatchIntervalLabel = 60819;  // the detail dialog's WATCH_SERVER_INTERVAL
inline constexpr int kDetailWatchIntervalOff = 60820;    // its value 0
// The detail dialog's deletion limit: the label, its three choices, the number's unit.
inline constexpr int kDetailLimitLabel = 60821;
inline constexpr int kDetailLimitAutomatic = 60822;
inline constexpr int kDetailLimitNumber = 60823;
inline constexpr int kDetailLimitNone = 60824;
inline constexpr int kDetailLimitSuffix = 60825;

}  // namespace kestrum::msg
