{ TDap32Ftp: an FTP session over dap32 for Delphi and Free Pascal, raising EDap32 exceptions
  instead of returning result codes. Names sent to the server must be at most 128 bytes without
  control characters: host, user and password printable ASCII, file and directory names UTF-8
  (printable ASCII when Utf8 is False); others raise EDap32 with DAP_ERR_CANNOT_COMPLY, since the
  library would cut them. So do names for Get and Put that would lead out of the local folder.
  Delphi's Unicode strings go to the library as UTF-8; Free Pascal's bytes go as they are, so
  give UTF-8 there (Linux's usual code page). }
unit dap32ftp;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

interface

uses
  { Windows first, so that SysUtils' DeleteFile is the one in scope. }
  {$IFDEF MSWINDOWS}Windows, {$ENDIF}Classes, SyncObjs, SysUtils, dap32;

type
  { A failure reported by dap32: Code is the library's result code, Message its text. }
  EDap32 = class(Exception)
  private
    FCode: Integer;
  public
    constructor Create(ACode: Integer; const AText: string);
    property Code: Integer read FCode;
  end;

  { The server cannot be reached (refused, unknown or unreachable), or the connection was lost. }
  EDap32Connect = class(EDap32);

  { The server refused a command, or ended a transfer with another reply than 226: Reply is its
    reply line, ReplyCode the number. }
  EDap32Server = class(EDap32)
  public
    Reply: string;
    ReplyCode: Integer;
  end;

  { A reply or a connection did not come in time. }
  EDap32Timeout = class(EDap32);

  { Bytes moved so far by the running transfer. }
  TDap32ProgressEvent = procedure(Sender: TObject; BytesSoFar: Int64) of object;

  { The library's pace: the fast settings of README.md's "Speed" section, or its own defaults. }
  TDap32Pace = (dpFast, dpOriginal);
  { The addresses a host name resolves to: DAP_SET_ADDRESS_FAMILY 0, 1 and 2. }
  TDap32IpVersion = (ivIPv4, ivAny, ivIPv6);
  { FTPS as Indy names it, in the order of DAP_SET_TLS: none, AUTH TLS after the greeting, or
    TLS from the connect on (port 990). }
  TDap32UseTLS = (utNoTLSSupport, utUseExplicitTLS, utUseImplicitTLS);
  { PROT C or PROT P: the data connections in clear, or in TLS. }
  TDap32DataPortProtection = (ftpdpsClear, ftpdpsPrivate);

  { An entry of an MLSD listing: its name and the facts type, size, modify, perm and unique
    (Size -1 and Modified 0, in UTC, when the server gave none). }
  TDap32ListItem = record
    Name: string;
    ItemType: string;
    Size: Int64;
    Modified: TDateTime;
    Permissions: string;
    Unique: string;
  end;
  TDap32ListItems = array of TDap32ListItem;

  TDap32Ftp = class
  private
    FChannel: Integer;
    FOnProgress: TDap32ProgressEvent;
    { What the last connection showed, kept when the channel goes back to the pool. }
    FLastTlsSession, FLastPeerFingerprint: string;
    function Channel: Integer;
    function GetString(Code: Integer): string;
    function GetTlsSession: string;
    function GetPeerFingerprint: string;
    procedure SetTls;
    function Check(Code: Integer): Integer;
    function Bytes(const Text, What: string; Limit: Integer = DAP32_NAME_LIMIT): RawByteString;
    procedure SetLocalDir(const Dir: string);
    procedure Transfer(Download: Boolean; const Name: RawByteString; Resume: Boolean);
    procedure ListInto(Dest: TStrings; const Specifier: string; Plain, WithPath: Integer);
  public
    Passive: Boolean;  { PASV data connections (the default); False for PORT }
    Binary: Boolean;   { TYPE I after the login (the default) }
    { EPSV and EPRT (the default), with PASV and PORT for a server that refuses them }
    ExtendedPassive: Boolean;
    IpVersion: TDap32IpVersion;  { ivIPv4 (the default; IPv6 literals too), ivAny or ivIPv6 }
    { 'socks5://[user:password@]host:port' or 'http://...'; empty: direct. No active mode. }
    Proxy: string;
    LogFile: string;   { the channel's debug log, opened by Connect }
    { dpFast (the default) or dpOriginal, set when the first session connects. It applies to
      every channel: sessions open at the same time must agree on it, or Connect raises. }
    Pace: TDap32Pace;
    { File and directory names may be UTF-8 (the default): Connect tells the library, which
      sends OPTS UTF8 ON after the login. False keeps them printable ASCII. }
    Utf8: Boolean;
    UseTLS: TDap32UseTLS;  { utNoTLSSupport (the default), utUseExplicitTLS, utUseImplicitTLS }
    DataPortProtection: TDap32DataPortProtection;  { ftpdpsPrivate (the default) or ftpdpsClear }
    { The certificate must chain to a trusted root (the system's, or CaFile's) and name the host
      (the default); False accepts any. }
    VerifyCertificate: Boolean;
    { The SHA-256 fingerprint of the one certificate to accept (64 hex digits, colons and
      blanks allowed), checked instead of everything else: the way to trust a self-signed
      server. A rejected certificate raises EDap32Connect with Code -33; PeerFingerprint then
      tells what to pin. }
    CertificatePin: string;
    CaFile: string;  { a PEM file of trusted roots, used instead of the system's store }
    constructor Create;
    destructor Destroy; override;
    { Connects and logs in; Port 0 is 21, or 990 for utUseImplicitTLS. }
    procedure Connect(const Host, User, Password: string; Port: Integer = 0);
    { Sends QUIT, closes the connection and frees the channel. }
    procedure Disconnect;
    function Connected: Boolean;
    procedure ChangeDir(const Dir: string);
    function RetrieveCurrentDir: string;
    procedure MakeDir(const Dir: string);
    procedure RemoveDir(const Dir: string);
    procedure Delete(const Name: string);
    { Downloads Remote to LocalFile; a failure leaves LocalFile as it was. Resume continues a
      LocalFile that holds the start of Remote (REST). }
    procedure Get(const Remote, LocalFile: string; Resume: Boolean = False);
    { Uploads LocalFile as Remote (by default under its own name). Resume continues the
      server's file from its size (SIZE, then REST). }
    procedure Put(const LocalFile: string; const Remote: string = ''; Resume: Boolean = False);
    { The lines of LIST (Details) or NLST for the current directory or Specifier. }
    procedure List(Dest: TStrings; const Specifier: string = ''; Details: Boolean = True);
    { The lines of MLSD for the current directory or Directory. }
    procedure ExtListDir(Dest: TStrings; const Directory: string = '');
    { MLSD's entries with their facts read out. }
    function ExtListItems(const Directory: string = ''): TDap32ListItems;
    { Sends the caller's Command and returns the final reply's text, every line of it; a reply
      from 400 up raises EDap32Server with it. }
    function Quote(const Command: string): string;
    { RNFR, then RNTO. }
    procedure Rename(const Source, Dest: string);
    { The file's size (SIZE, under the session's TYPE I); -1 when the server answers 550. }
    function Size(const Name: string): Int64;
    { The file's modification time (MDTM), in UTC. }
    function FileDate(const Name: string): TDateTime;
    { SITE CHMOD with Mode as the server takes it (644). }
    procedure Chmod(const Name: string; Mode: Integer);
    { Called after each step of a transfer while assigned; the transfer then runs with
      AUTO_CALL off, driven here. }
    property OnProgress: TDap32ProgressEvent read FOnProgress write FOnProgress;
    { Protocol and cipher of the control connection, as 'TLSv1.3 TLS_AES_256_GCM_SHA384'; empty
      without TLS. After Disconnect, the last connection's. }
    property TlsSession: string read GetTlsSession;
    { The SHA-256 fingerprint (64 uppercase hex digits) of the certificate the server showed
      at the last TLS connect, also when Connect rejected it: what CertificatePin takes. After
      Disconnect, the last connection's. }
    property PeerFingerprint: string read GetPeerFingerprint;
  end;

implementation

const
  FirstListingSize = 64 * 1024;
  LastListingSize = 256 * 1024 * 1024;
  ErrorTextSize = 4096;
  ReplySize = 8192;
  CommandLimit = 2000;

var
  { The library is attached once for all sessions; the last session to close releases it. }
  PoolLock: TCriticalSection;
  InUse: array[0..DAP32_MAX_CHANNELS - 1] of Boolean;
  OpenSessions: Integer = 0;
  LibraryPace: TDap32Pace;

const
  { The library-wide settings a pace sets when the first session attaches, with their fast
    values; the original pace sets each to its default. }
  PaceCodes: array[0..4] of Integer = (DAP_SET_CLOSE_PAUSE, DAP_SET_TRANSFER_CHUNK,
    DAP_SET_POLL_SLEEP, DAP_SET_FINAL_BLOCK_DELAY, DAP_SET_UPLOAD_BLOCK_SIZE);
  FastValues: array[0..4] of Integer = (0, 4 shl 20, 1, 0, 8192);

constructor EDap32.Create(ACode: Integer; const AText: string);
begin
  inherited Create(AText);
  FCode := ACode;
end;

function ErrorFor(Chan, Code: Integer): EDap32;
var
  Buffer: array[0..ErrorTextSize - 1] of AnsiChar;
  Text, Reply: string;
begin
  Text := string(Dap32ErrorMessage(Code));
  if (Chan >= 0) and (dapErrorText(Chan, Code, @Buffer[0], ErrorTextSize) > 0) then
    Text := Trim(string(AnsiString(PAnsiChar(@Buffer[0]))));
  if Text = '' then
    Text := 'dap32 error ' + IntToStr(Code);
  case Dap32ErrorKind(Code) of
    dekConnect: Result := EDap32Connect.Create(Code, Text);
    dekTimeout: Result := EDap32Timeout.Create(Code, Text);
    dekServer:
      begin
        Reply := '';
        { Only the refusals carry the reply in their own text; -18's always does. }
        if (Chan >= 0) and
           (dapErrorText(Chan, DAP_ERR_SERVER_REFUSED, @Buffer[0], ErrorTextSize) > 0) then
          Reply := Trim(Copy(string(AnsiString(PAnsiChar(@Buffer[0]))),
            Length(Dap32ErrorMessage(DAP_ERR_SERVER_REFUSED)) + 1, MaxInt));
        if not Dap32CarriesReply(Code) and (Reply <> '') then
          Text := Text + ' ' + Reply;
        Result := EDap32Server.Create(Code, Text);
        EDap32Server(Result).Reply := Reply;
        if Chan >= 0 then
          EDap32Server(Result).ReplyCode := dapGetInteger(Chan, DAP_GET_SERVER_CODE);
      end;
  else
    Result := EDap32.Create(Code, Text);
  end;
end;

{ The bytes the library is given for Text, which it must not cut. }
function LibraryText(const Text, What: string; Limit: Integer = DAP32_NAME_LIMIT): AnsiString;
var
  I: Integer;
begin
  for I := 1 to Length(Text) do
    if (Text[I] < ' ') or (Text[I] > '~') then
      raise EDap32.Create(DAP_ERR_CANNOT_COMPLY,
        What + ' ''' + Text + ''' holds a character outside printable ASCII');
  if Length(Text) > Limit then
    raise EDap32.Create(DAP_ERR_CANNOT_COMPLY,
      What + ' ''' + Text + ''' is longer than ' + IntToStr(Limit) + ' characters');
  Result := AnsiString(Text);
end;

{ A text as the library takes it: Delphi's Unicode strings in UTF-8, Free Pascal's bytes as
  they are; and back. }
function ToLibrary(const Text: string): RawByteString;
begin
{$IFDEF UNICODE}
  Result := UTF8Encode(Text);
{$ELSE}
  Result := RawByteString(Text);
{$ENDIF}
end;

function FromLibrary(Text: PAnsiChar): string;
begin
{$IFDEF UNICODE}
  Result := UTF8ToString(RawByteString(Text));
{$ELSE}
  Result := string(AnsiString(Text));
{$ENDIF}
end;

{ "20240102030405", perhaps with a fraction of a second after it, in UTC. }
function Timestamp(const Text: string): TDateTime;

  function Part(Start, Count: Integer): Word;
  begin
    Result := StrToInt(Copy(Text, Start, Count));
  end;

begin
  Result := EncodeDate(Part(1, 4), Part(5, 2), Part(7, 2)) +
    EncodeTime(Part(9, 2), Part(11, 2), Part(13, 2), 0);
end;

{ "type=file;size=10;modify=20240102030405;perm=r;unique=8g; name" }
function MachineItem(const Line: string): TDap32ListItem;
var
  Facts, Fact, Key, Value: string;
  Blank, Semicolon: Integer;
begin
  Blank := Pos(' ', Line);
  Facts := Copy(Line, 1, Blank - 1);
  Result.Name := Copy(Line, Blank + 1, MaxInt);
  Result.ItemType := '';
  Result.Size := -1;
  Result.Modified := 0;
  Result.Permissions := '';
  Result.Unique := '';
  while Facts <> '' do
  begin
    Semicolon := Pos(';', Facts);
    if Semicolon = 0 then
      Semicolon := Length(Facts) + 1;
    Fact := Copy(Facts, 1, Semicolon - 1);
    Facts := Copy(Facts, Semicolon + 1, MaxInt);
    Key := LowerCase(Copy(Fact, 1, Pos('=', Fact) - 1));
    Value := Copy(Fact, Pos('=', Fact) + 1, MaxInt);
    if Key = 'type' then
      Result.ItemType := LowerCase(Value)
    else if Key = 'size' then
      Result.Size := StrToInt64Def(Value, -1)
    else if Key = 'modify' then
      Result.Modified := Timestamp(Value)
    else if Key = 'perm' then
      Result.Permissions := Value
    else if Key = 'unique' then
      Result.Unique := Value;
  end;
end;

{ Where the library puts the file Remote (a name with '/' between folders) below its local
  folder. A name from the server (a mirror over a listing) must not choose a file outside it, so
  a '..' segment, a leading '/' or '\', a drive letter, or on Windows any '\' is refused. }
function LocalName(const Remote: string): string;
var
  Start, Stop: Integer;
  Part: string;
  Escapes: Boolean;
begin
  Escapes := (Copy(Remote, 1, 1) = '/') or (Copy(Remote, 1, 1) = '\') or
    ((PathDelim = '\') and (Pos('\', Remote) > 0));
  Start := 1;
  while Start <= Length(Remote) + 1 do
  begin
    Stop := Start;
    while (Stop <= Length(Remote)) and (Remote[Stop] <> '/') do
      Inc(Stop);
    Part := Copy(Remote, Start, Stop - Start);
    if (Part = '..') or ((Length(Part) >= 2) and (Part[2] = ':') and
       (UpCase(Part[1]) >= 'A') and (UpCase(Part[1]) <= 'Z')) then
      Escapes := True;
    Start := Stop + 1;
  end;
  if Escapes then
    raise EDap32.Create(DAP_ERR_CANNOT_COMPLY,
      'name ''' + Remote + ''' would lead out of the local folder');
  Result := StringReplace(Remote, '/', PathDelim, [rfReplaceAll]);
end;

{ Puts a finished download in place of Target in one step, so that Target is always either the
  old file or the new one: rename(2) replaces atomically, Windows' plain MoveFile refuses. }
function ReplaceFile(const Received, Target: string): Boolean;
begin
{$IFDEF MSWINDOWS}
  Result := MoveFileEx(PChar(Received), PChar(Target), MOVEFILE_REPLACE_EXISTING);
{$ELSE}
  Result := RenameFile(Received, Target);
{$ENDIF}
end;

{ A new folder inside Folder, so that a file can be renamed into place or staged. }
function MakeScratch(const Folder: string): string;
var
  Attempt: Integer;
begin
  for Attempt := 1 to 100 do
  begin
    Result := IncludeTrailingPathDelimiter(Folder) + '.dap32-' + IntToHex(Random(MaxInt), 8);
    if CreateDir(Result) then
      Exit;
  end;
  raise EDap32.Create(DAP_ERR_CANNOT_OPEN_FILE, 'cannot create a folder in ' + Folder);
end;

procedure RemoveTree(const Dir: string);
var
  Found: TSearchRec;
begin
  if FindFirst(IncludeTrailingPathDelimiter(Dir) + '*', faAnyFile, Found) = 0 then
  try
    repeat
      if (Found.Name = '.') or (Found.Name = '..') then
        Continue;
      if (Found.Attr and faDirectory) <> 0 then
        RemoveTree(IncludeTrailingPathDelimiter(Dir) + Found.Name)
      else
        DeleteFile(IncludeTrailingPathDelimiter(Dir) + Found.Name);
    until FindNext(Found) <> 0;
  finally
    FindClose(Found);
  end;
  SysUtils.RemoveDir(Dir);
end;

procedure CopyFileContents(const Source, Target: string);
var
  Input, Output: TFileStream;
begin
  Input := TFileStream.Create(Source, fmOpenRead or fmShareDenyWrite);
  try
    Output := TFileStream.Create(Target, fmCreate);
    try
      Output.CopyFrom(Input, 0);
    finally
      Output.Free;
    end;
  finally
    Input.Free;
  end;
end;

function AcquireChannel(Pace: TDap32Pace): Integer;
var
  Attached, Chan, I: Integer;
begin
  PoolLock.Acquire;
  try
    if OpenSessions = 0 then
    begin
      Attached := dapAttach(DAP32_MAX_CHANNELS, 0);
      if Attached < 0 then
        raise ErrorFor(-1, Attached);
      FillChar(InUse, SizeOf(InUse), 0);
      { The settings outlast dapRelease: the original pace must be set again too. }
      for I := Low(PaceCodes) to High(PaceCodes) do
        if Pace = dpFast then
          dapSetInteger(0, PaceCodes[I], FastValues[I])
        else
          dapSetInteger(0, PaceCodes[I], Dap32SetDefault(PaceCodes[I]));
      LibraryPace := Pace;
    end
    else if Pace <> LibraryPace then
      raise EDap32.Create(DAP_ERR_CANNOT_COMPLY, 'a pace other than the open sessions'' ' +
        'asked; it applies to the whole library');
    for Chan := 0 to DAP32_MAX_CHANNELS - 1 do
      if not InUse[Chan] then
      begin
        InUse[Chan] := True;
        Inc(OpenSessions);
        Result := Chan;
        Exit;
      end;
    raise EDap32.Create(DAP_ERR_CHANNEL_RANGE, 'all channels are in use');
  finally
    PoolLock.Release;
  end;
end;

procedure ReleaseChannel(Chan: Integer);
begin
  PoolLock.Acquire;
  try
    InUse[Chan] := False;
    Dec(OpenSessions);
    if OpenSessions = 0 then
      dapRelease;
  finally
    PoolLock.Release;
  end;
end;

constructor TDap32Ftp.Create;
begin
  inherited Create;
  FChannel := -1;
  Passive := True;
  Binary := True;
  Utf8 := True;
  ExtendedPassive := True;
  IpVersion := ivIPv4;
  Pace := dpFast;
  DataPortProtection := ftpdpsPrivate;
  VerifyCertificate := True;
end;

destructor TDap32Ftp.Destroy;
begin
  Disconnect;
  inherited Destroy;
end;

function TDap32Ftp.Channel: Integer;
begin
  if FChannel < 0 then
    raise EDap32.Create(DAP_ERR_NOT_ATTACHED, 'the session is not connected');
  Result := FChannel;
end;

function TDap32Ftp.Check(Code: Integer): Integer;
begin
  if Code < 0 then
    raise ErrorFor(FChannel, Code);
  Result := Code;
end;

function TDap32Ftp.GetString(Code: Integer): string;
var
  Buffer: array[0..255] of AnsiChar;
begin
  dapGetString(FChannel, Code, @Buffer[0], Length(Buffer));
  Result := string(AnsiString(PAnsiChar(@Buffer[0])));
end;

function TDap32Ftp.GetTlsSession: string;
begin
  if FChannel < 0 then
    Result := FLastTlsSession
  else
    Result := GetString(DAP_STR_TLS_SESSION);
end;

function TDap32Ftp.GetPeerFingerprint: string;
begin
  if FChannel < 0 then
    Result := FLastPeerFingerprint
  else
    Result := GetString(DAP_STR_TLS_PEER_FINGERPRINT);
end;

{ Every connect sets all of them: a channel from the pool keeps its last session's. }
procedure TDap32Ftp.SetTls;
begin
  dapSetInteger(FChannel, DAP_SET_TLS, Ord(UseTLS));
  dapSetInteger(FChannel, DAP_SET_TLS_VERIFY, Ord(VerifyCertificate));
  dapSetInteger(FChannel, DAP_SET_TLS_DATA, Ord(DataPortProtection = ftpdpsPrivate));
  if dapSetString(FChannel, DAP_STR_TLS_PIN, PAnsiChar(AnsiString(CertificatePin))) < 0 then
    raise EDap32.Create(DAP_ERR_CANNOT_COMPLY, 'not a SHA-256 fingerprint: ' + CertificatePin);
  if (CaFile <> '') and not FileExists(CaFile) then
    raise EDap32.Create(DAP_ERR_CANNOT_OPEN_FILE, 'no such CA file ' + CaFile);
  if dapSetString(FChannel, DAP_STR_TLS_CA_FILE, PAnsiChar(AnsiString(CaFile))) < 0 then
    raise EDap32.Create(DAP_ERR_CANNOT_COMPLY, 'the CA file''s path is too long: ' + CaFile);
end;

function TDap32Ftp.Connected: Boolean;
begin
  Result := FChannel >= 0;
end;

procedure TDap32Ftp.Connect(const Host, User, Password: string; Port: Integer);
var
  Server, Login, Secret: AnsiString;
begin
  Server := LibraryText(Host, 'host');
  Login := LibraryText(User, 'user');
  Secret := LibraryText(Password, 'password');
  if Port = 0 then
    if UseTLS = utUseImplicitTLS then
      Port := 990
    else
      Port := 21;
  if FChannel < 0 then
    FChannel := AcquireChannel(Pace);
  if (LogFile <> '') and
     (dapSetString(FChannel, DAP_STR_LOG_OPEN, PAnsiChar(AnsiString(LogFile))) <= 0) then
    raise EDap32.Create(DAP_ERR_CANNOT_OPEN_FILE, 'cannot create the log file ' + LogFile);
  dapSetInteger(FChannel, DAP_SET_SERVER_PORT, Port);
  dapSetInteger(FChannel, DAP_SET_PASSIVE, Ord(Passive));
  dapSetInteger(FChannel, DAP_SET_UTF8, Ord(Utf8));
  dapSetInteger(FChannel, DAP_SET_EXTENDED, Ord(ExtendedPassive));
  dapSetInteger(FChannel, DAP_SET_ADDRESS_FAMILY, Ord(IpVersion));
  if dapSetString(FChannel, DAP_STR_PROXY, PAnsiChar(AnsiString(Proxy))) < 0 then
    raise EDap32.Create(DAP_ERR_CANNOT_COMPLY, 'the proxy cannot be read: ' + Proxy);
  SetTls;
  Check(dapConnect(FChannel, PAnsiChar(Server), PAnsiChar(Login), PAnsiChar(Secret)));
  if Binary then
    Check(dapSetMode(FChannel, Ord('B')));
end;

procedure TDap32Ftp.Disconnect;
var
  Closing: Integer;
begin
  if FChannel < 0 then
    Exit;
  FLastTlsSession := TlsSession;
  FLastPeerFingerprint := PeerFingerprint;
  Closing := FChannel;
  FChannel := -1;
  try
    { With AUTO_CALL off dapClose would leave the connection open. }
    dapSetInteger(Closing, DAP_SET_AUTO_CALL, 1);
    dapClose(Closing);
  finally
    ReleaseChannel(Closing);
  end;
end;

{ The bytes the library is given for a file or directory name, which it must not cut. }
function TDap32Ftp.Bytes(const Text, What: string; Limit: Integer): RawByteString;
var
  I: Integer;
begin
  Result := ToLibrary(Text);
  for I := 1 to Length(Result) do
    if (Result[I] < ' ') or (Result[I] = #127) or ((Result[I] > #127) and not Utf8) then
      raise EDap32.Create(DAP_ERR_CANNOT_COMPLY,
        What + ' ''' + Text + ''' holds a character the library would cut');
  if Length(Result) > Limit then
    raise EDap32.Create(DAP_ERR_CANNOT_COMPLY,
      What + ' ''' + Text + ''' is longer than ' + IntToStr(Limit) + ' bytes');
end;

procedure TDap32Ftp.ChangeDir(const Dir: string);
begin
  Check(dapSetServerDir(Channel, PAnsiChar(Bytes(Dir, 'directory'))));
end;

function TDap32Ftp.RetrieveCurrentDir: string;
var
  Buffer: array[0..DAP32_NAME_LIMIT] of AnsiChar;
begin
  Check(dapGetServerDir(Channel, @Buffer[0], DAP32_NAME_LIMIT));
  Result := FromLibrary(@Buffer[0]);
end;

procedure TDap32Ftp.MakeDir(const Dir: string);
begin
  Check(dapMakeServerDir(Channel, PAnsiChar(Bytes(Dir, 'directory'))));
end;

procedure TDap32Ftp.RemoveDir(const Dir: string);
begin
  Check(dapDelServerDir(Channel, PAnsiChar(Bytes(Dir, 'directory'))));
end;

procedure TDap32Ftp.Delete(const Name: string);
begin
  Check(dapDelFile(Channel, PAnsiChar(Bytes(Name, 'name'))));
end;

function TDap32Ftp.Quote(const Command: string): string;
var
  Buffer: array[0..ReplySize - 1] of AnsiChar;
  Code: Integer;
  Refusal: EDap32Server;
begin
  Code := Check(dapCommand(Channel, PAnsiChar(Bytes(Command, 'command', CommandLimit)),
    @Buffer[0], ReplySize));
  Result := FromLibrary(@Buffer[0]);
  if Code >= 400 then
  begin
    Refusal := EDap32Server.Create(DAP_ERR_SERVER_REFUSED,
      string(Dap32ErrorMessage(DAP_ERR_SERVER_REFUSED)) + ' ' + Result);
    Refusal.Reply := Result;
    Refusal.ReplyCode := Code;
    raise Refusal;
  end;
end;

procedure TDap32Ftp.Rename(const Source, Dest: string);
var
  Reply: string;
begin
  Reply := Quote('RNFR ' + Source);
  if Copy(Reply, 1, 1) <> '3' then
    raise EDap32.Create(DAP_ERR_NOT_COMPLETED, 'RNFR answered ' + Reply);
  Quote('RNTO ' + Dest);
end;

function TDap32Ftp.Size(const Name: string): Int64;
begin
  try
    Result := StrToInt64(Trim(Copy(Quote('SIZE ' + Name), 4, MaxInt)));
  except
    on E: EDap32Server do
      if E.ReplyCode = 550 then
        Result := -1
      else
        raise;
  end;
end;

function TDap32Ftp.FileDate(const Name: string): TDateTime;
begin
  Result := Timestamp(Trim(Copy(Quote('MDTM ' + Name), 4, MaxInt)));
end;

procedure TDap32Ftp.Chmod(const Name: string; Mode: Integer);
begin
  Quote('SITE CHMOD ' + IntToStr(Mode) + ' ' + Name);
end;

procedure TDap32Ftp.SetLocalDir(const Dir: string);
begin
  Check(dapSetLocalDir(Channel, PAnsiChar(Bytes(Dir, 'local directory',
    DAP32_LOCAL_DIR_LIMIT))));
end;

procedure TDap32Ftp.Transfer(Download: Boolean; const Name: RawByteString; Resume: Boolean);
var
  Chan, Counter, Step: Integer;
  Moved, Reported: Int64;
  Ended: Boolean;

  procedure Start;
  begin
    if Download then
      Check(dapGetFile(Chan, PAnsiChar(Name)))
    else
      Check(dapPutFile(Chan, PAnsiChar(Name)));
  end;

begin
  Chan := Channel;
  dapSetInteger(Chan, DAP_SET_RESUME, Ord(Resume));
  if Download then
    Counter := DAP_GET_BYTES_RECEIVED
  else
    Counter := DAP_GET_BYTES_SENT;
  if not Assigned(FOnProgress) then
  begin
    Start;
    Exit;
  end;
  dapSetInteger(Chan, DAP_SET_AUTO_CALL, 0);
  Ended := False;
  try
    Start;
    Reported := -1;
    repeat
      Step := dapDriver(Chan);
      Ended := Step <= 0;
      Moved := dapGetInteger(Chan, Counter);
      if Moved <> Reported then
      begin
        Reported := Moved;
        FOnProgress(Self, Moved);
      end;
    until Ended;
    Check(Step);
  finally
    { A handler that raised leaves no transfer half-open. }
    if not Ended then
      dapAbort(Chan);
    dapSetInteger(Chan, DAP_SET_AUTO_CALL, 1);
  end;
end;

procedure TDap32Ftp.Get(const Remote, LocalFile: string; Resume: Boolean);
var
  Name: RawByteString;
  Target, Scratch, Received: string;
begin
  Name := Bytes(Remote, 'name');
  Received := LocalName(Remote);
  Target := ExpandFileName(LocalFile);
  Scratch := MakeScratch(ExtractFileDir(Target));
  try
    { The library names the local file as the remote one, below its local directory. }
    Received := IncludeTrailingPathDelimiter(Scratch) + Received;
    ForceDirectories(ExtractFileDir(Received));
    if Resume and FileExists(Target) then
      CopyFileContents(Target, Received);
    SetLocalDir(Scratch);
    Transfer(True, Name, Resume);
    if not ReplaceFile(Received, Target) then
      raise EDap32.Create(DAP_ERR_CANNOT_OPEN_FILE, 'cannot move the download to ' + Target);
  finally
    RemoveTree(Scratch);
  end;
end;

procedure TDap32Ftp.Put(const LocalFile: string; const Remote: string; Resume: Boolean);
var
  Source, Target, Staged, Scratch: string;
begin
  Source := ExpandFileName(LocalFile);
  Target := Remote;
  if Target = '' then
    Target := ExtractFileName(Source);
  Staged := LocalName(Target);
  if not FileExists(Source) then
    raise EDap32.Create(DAP_ERR_CANNOT_OPEN_FILE, 'no such file ' + Source);
  if Target = ExtractFileName(Source) then
  begin
    SetLocalDir(ExtractFileDir(Source));
    Transfer(False, Bytes(Target, 'name'), Resume);
    Exit;
  end;
  { The library reads the file under the remote name: give it one in a scratch folder. }
  Scratch := MakeScratch(ExtractFileDir(Source));
  try
    Staged := IncludeTrailingPathDelimiter(Scratch) + Staged;
    ForceDirectories(ExtractFileDir(Staged));
    CopyFileContents(Source, Staged);
    SetLocalDir(Scratch);
    Transfer(False, Bytes(Target, 'name'), Resume);
  finally
    RemoveTree(Scratch);
  end;
end;

procedure TDap32Ftp.List(Dest: TStrings; const Specifier: string; Details: Boolean);
begin
  if Details then
    ListInto(Dest, Specifier, DAP_LIST_FULL, DAP_LIST_FULL_PATTERN)
  else
    ListInto(Dest, Specifier, DAP_LIST_NAMES, DAP_LIST_NAMES_PATTERN);
end;

procedure TDap32Ftp.ExtListDir(Dest: TStrings; const Directory: string);
begin
  ListInto(Dest, Directory, DAP_LIST_MACHINE, DAP_LIST_MACHINE_PATH);
end;

function TDap32Ftp.ExtListItems(const Directory: string): TDap32ListItems;
var
  Lines: TStringList;
  I: Integer;
begin
  Result := nil;
  Lines := TStringList.Create;
  try
    ExtListDir(Lines, Directory);
    SetLength(Result, Lines.Count);
    for I := 0 to Lines.Count - 1 do
      Result[I] := MachineItem(Lines[I]);
  finally
    Lines.Free;
  end;
end;

procedure TDap32Ftp.ListInto(Dest: TStrings; const Specifier: string; Plain, WithPath: Integer);
var
  Buffer, Argument: RawByteString;
  ListType, Size, Count: Integer;
begin
  Argument := '';
  ListType := Plain;
  if Specifier <> '' then
  begin
    Argument := Bytes(Specifier, 'path');
    ListType := WithPath;
  end;
  Size := FirstListingSize;
  repeat
    Buffer := Argument;
    SetLength(Buffer, Size);
    Buffer[Length(Argument) + 1] := #0;
    Count := Check(dapGetList(Channel, ListType, PAnsiChar(Buffer), Size));
    { A piece that did not fit was dropped; only this much room proves none was. }
    if Size - Count > DAP32_LISTING_PIECE then
    begin
      Buffer[Count + 1] := #0;
      Dest.Text := FromLibrary(PAnsiChar(Buffer));
      Exit;
    end;
    Size := Size * 4;
  until Size > LastListingSize;
  raise EDap32.Create(DAP_ERR_CANNOT_COMPLY, 'the listing is too long');
end;

initialization
  PoolLock := TCriticalSection.Create;
  Randomize;

finalization
  PoolLock.Free;

end.
