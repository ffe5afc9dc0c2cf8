{ The Pascal binding against pyftpdlib, run by run_binding_test.py; ends with
  "N passed, M failed". }
program session_test;

{$MODE DELPHI}

uses
  Classes, DateUtils, SysUtils, dap32, dap32ftp;

type
  TRecorder = class
    Calls: Integer;
    Last, Largest: Int64;
    procedure Progress(Sender: TObject; BytesSoFar: Int64);
  end;

var
  Passed, Failed: Integer;

procedure TRecorder.Progress(Sender: TObject; BytesSoFar: Int64);
begin
  Inc(Calls);
  if BytesSoFar - Last > Largest then
    Largest := BytesSoFar - Last;
  Last := BytesSoFar;
end;

procedure Check(Condition: Boolean; const What: string);
begin
  if Condition then
  begin
    WriteLn('ok ', What);
    Inc(Passed);
  end
  else
  begin
    WriteLn('FAIL ', What);
    Inc(Failed);
  end;
end;

function ReadFile(const Path: string): RawByteString;
var
  Stream: TFileStream;
begin
  Stream := TFileStream.Create(Path, fmOpenRead);
  try
    SetLength(Result, Stream.Size);
    if Stream.Size > 0 then
      Stream.ReadBuffer(Result[1], Stream.Size);
  finally
    Stream.Free;
  end;
end;

procedure WriteFile(const Path: string; const Data: RawByteString);
var
  Stream: TFileStream;
begin
  Stream := TFileStream.Create(Path, fmCreate);
  try
    if Data <> '' then
      Stream.WriteBuffer(Data[1], Length(Data));
  finally
    Stream.Free;
  end;
end;

function NewSession(Port: Integer; Pace: TDap32Pace = dpFast): TDap32Ftp;
begin
  Result := TDap32Ftp.Create;
  Result.Pace := Pace;
  try
    Result.Connect('127.0.0.1', GetEnvironmentVariable('DAP32_TEST_USER'),
      GetEnvironmentVariable('DAP32_TEST_PASSWORD'), Port);
  except
    Result.Free;
    raise;
  end;
end;

function OpenDescriptors: Integer;
var
  Found: TSearchRec;
begin
  Result := 0;
  if FindFirst('/proc/self/fd/*', faAnyFile, Found) = 0 then
    repeat
      Inc(Result);
    until FindNext(Found) <> 0;
  FindClose(Found);
end;

{ Get and Put refuse Name with EDap32 and touch no file. }
procedure CheckRefused(Ftp: TDap32Ftp; const Name, Sibling: string);
var
  Refusals: Integer;
begin
  Refusals := 0;
  try
    Ftp.Get(Name, ExtractFilePath(Sibling) + 'copy.txt');
  except
    on E: EDap32 do Inc(Refusals, Ord(E.Code = DAP_ERR_CANNOT_COMPLY));
  end;
  try
    Ftp.Put(Sibling, Name);
  except
    on E: EDap32 do Inc(Refusals, Ord(E.Code = DAP_ERR_CANNOT_COMPLY));
  end;
  Check(Refusals = 2, 'the name ' + Name + ' is refused');
end;

const
  EscapingNames: array[0..3] of string =
    ('../notes.txt', '/notes.txt', '\notes.txt', 'C:notes.txt');
  Utf8Name = 'caf'#$C3#$A9' '#$C3#$BC' '#$E6#$97#$A5#$E6#$9C#$AC'.bin';

{ The caller's commands, MLSD, transfers resumed both ways and a UTF-8 name. }
procedure CheckCommandsResumeAndNames(Port: Integer; const Work: string);
var
  Ftp: TDap32Ftp;
  Whole: RawByteString;
  Items: TDap32ListItems;
  I: Integer;
begin
  Whole := Copy(ReadFile(Work + '/original.bin'), 1, 200000);
  WriteFile(Work + '/whole.bin', Whole);
  WriteFile(Work + '/half.bin', Copy(Whole, 1, 70000));
  WriteFile(Work + '/resumed.bin', Copy(Whole, 1, 70000));
  Ftp := NewSession(Port);
  try
    Ftp.Put(Work + '/half.bin', 'r.bin');
    Ftp.Put(Work + '/whole.bin', 'r.bin', True);
    Ftp.Get('r.bin', Work + '/resumed.bin', True);
    Check((Ftp.Size('r.bin') = Length(Whole)) and (ReadFile(Work + '/resumed.bin') = Whole) and
      (dapGetInteger(0, DAP_GET_BYTES_RECEIVED) = 130000), 'transfers resumed after 70000 bytes');
    Ftp.Rename('r.bin', Utf8Name);
    Ftp.Chmod(Utf8Name, 640);
    Check(Abs(Ftp.FileDate(Utf8Name) - LocalTimeToUniversal(Now)) < 1 / 24, 'MDTM');
    Items := Ftp.ExtListItems;
    I := Length(Items) - 1;
    Check((I = 0) and (Items[I].Name = Utf8Name) and (Items[I].ItemType = 'file') and
      (Items[I].Size = Length(Whole)) and (Items[I].Modified > 0) and
      (Items[I].Permissions <> '') and (Items[I].Unique <> ''), 'MLSD''s entry and its facts');
    Check((Copy(Ftp.Quote('NOOP'), 1, 3) = '200') and (Ftp.Size('missing.bin') = -1), 'Quote');
    try
      Ftp.Quote('SIZE missing.bin');
    except
      on E: EDap32Server do Inc(I, E.ReplyCode);
    end;
    Check(I = 550, 'a refused command raises EDap32Server');
    Ftp.Get(Utf8Name, Work + '/named.bin');
    Check(ReadFile(Work + '/named.bin') = Whole, 'a UTF-8 name downloads');
    Ftp.Delete(Utf8Name);
  finally
    Ftp.Free;
  end;
end;

{ TLS, on one object whose settings change between connects. The open session keeps the
  library attached, so each connect gets channel 1 back as the one before left it. }
procedure CheckTls(Port: Integer; const Work: string; Lines: TStrings);
var
  Open, Ftp: TDap32Ftp;
  Fingerprint: string;
  Code: Integer;

  procedure Connect;
  begin
    Ftp.Connect('127.0.0.1', GetEnvironmentVariable('DAP32_TEST_USER'),
      GetEnvironmentVariable('DAP32_TEST_PASSWORD'),
      StrToInt(GetEnvironmentVariable('DAP32_TEST_TLS_PORT')));
  end;

begin
  Fingerprint := GetEnvironmentVariable('DAP32_TEST_TLS_FINGERPRINT');
  Code := 0;
  Open := NewSession(Port);
  Ftp := TDap32Ftp.Create;
  try
    Ftp.UseTLS := utUseExplicitTLS;
    Ftp.CaFile := GetEnvironmentVariable('DAP32_TEST_TLS_CERT');
    Connect;
    Ftp.Put(Work + '/whole.bin', 'tls.bin');
    Ftp.Get('tls.bin', Work + '/tls.bin');
    Check((ReadFile(Work + '/tls.bin') = ReadFile(Work + '/whole.bin')) and
      (Copy(Ftp.TlsSession, 1, 6) = 'TLSv1.') and
      (dapGetInteger(1, DAP_GET_TLS_DATA_RESUMED) = 1), 'TLS with the CA file: ' + Ftp.TlsSession);
    Ftp.Disconnect;
    Ftp.CaFile := '';
    Ftp.CertificatePin := Fingerprint;
    Connect;
    Ftp.List(Lines, '', False);
    Check(Lines.Text = 'tls.bin' + LineEnding, 'TLS with the pin');
    Ftp.Disconnect;
    Ftp.CertificatePin := '';
    try
      Connect;
    except
      on E: EDap32Connect do Code := E.Code;
    end;
    Ftp.Disconnect;
    Check((Code = -33) and (Ftp.PeerFingerprint = Fingerprint), 'an untrusted certificate: -33');
    Ftp.CaFile := GetEnvironmentVariable('DAP32_TEST_TLS_CERT');
    Ftp.DataPortProtection := ftpdpsClear;
    Connect;
    try
      Ftp.List(Lines);
    except
      on E: EDap32Server do Code := E.Code;
    end;
    Check(Code = DAP_ERR_SERVER_REFUSED, 'the server refuses a data connection in clear');
  finally
    Ftp.Free;
    Open.Free;
  end;
end;

var
  Ftp: TDap32Ftp;
  Work, Original, Copied, Sibling: string;
  Data: RawByteString;
  Lines: TStringList;
  Recorder: TRecorder;
  I, Port, Descriptors: Integer;
  Pace: TDap32Pace;
  Largest: array[TDap32Pace] of Int64;
  Buffer: array[0..63] of AnsiChar;
begin
  Work := GetEnvironmentVariable('DAP32_TEST_WORK');
  Original := Work + '/original.bin';
  Copied := Work + '/copy.bin';
  SetLength(Data, 9 shl 20);  { more than two fast steps of 4 MiB }
  RandSeed := 12;
  for I := 1 to Length(Data) do
    Data[I] := AnsiChar(Random(256));
  WriteFile(Original, Data);
  WriteFile(Copied, 'kept');
  Lines := TStringList.Create;
  Recorder := TRecorder.Create;

  Port := StrToInt(GetEnvironmentVariable('DAP32_TEST_PORT'));
  Ftp := NewSession(Port);
  try
    Ftp.MakeDir('pas');
    Ftp.ChangeDir('pas');
    Check(Ftp.RetrieveCurrentDir = '/pas', 'the current directory is /pas');
    Ftp.OnProgress := Recorder.Progress;
    Ftp.Put(Original, 'up.bin');
    Ftp.OnProgress := nil;
    Check((Recorder.Calls > 2) and (Recorder.Last = Length(Data)),
      'upload progress ends at the file size');
    try
      Ftp.Get('missing.bin', Copied);
      Check(False, 'a refused RETR raises');
    except
      on E: EDap32Server do
        Check((E.Code = -18) and (E.ReplyCode = 550) and (Copy(E.Reply, 1, 4) = '550 '),
          'a refused RETR raises EDap32Server with the reply');
    end;
    Check(ReadFile(Copied) = 'kept', 'a failed download leaves the local file');
    Ftp.Get('up.bin', Copied);
    Check(ReadFile(Copied) = Data, 'the download equals the upload');
    Ftp.List(Lines, '', False);
    Check((Lines.Count = 1) and (Lines[0] = 'up.bin'), 'NLST lists up.bin');
    Ftp.List(Lines);
    Check((Lines.Count = 1) and (Pos(' ' + IntToStr(Length(Data)) + ' ', Lines[0]) > 0),
      'LIST shows the size');
    Check((dapExtract('a b'#13#10'c  d'#13#10, 1, 2, @Buffer[0], 63) = 1) and
      (PAnsiChar(@Buffer[0]) = 'd'), 'dapExtract picks field 2 of line 1');
    Ftp.Delete('up.bin');
    Ftp.ChangeDir('..');
    Ftp.RemoveDir('pas');
    Ftp.List(Lines, '', False);
    Check(Lines.IndexOf('pas') < 0, 'the directory is gone');
  finally
    Ftp.Free;
  end;
  CheckCommandsResumeAndNames(Port, Work);

  Sibling := Work + '/names/notes.txt';
  ForceDirectories(Work + '/names');
  WriteFile(Sibling, 'mine');
  Ftp := NewSession(Port);
  try
    for I := Low(EscapingNames) to High(EscapingNames) do
      CheckRefused(Ftp, EscapingNames[I], Sibling);
  finally
    Ftp.Free;
  end;
  Check((ReadFile(Sibling) = 'mine') and not FileExists(Work + '/names/copy.txt'),
    'a refused name touches no file');

  WriteFile(Original, StringOfChar(AnsiChar(7), 1 shl 20));
  for Pace := dpFast to dpOriginal do
  begin
    Ftp := NewSession(Port, Pace);
    try
      if Pace = dpOriginal then
        try
          NewSession(Port).Free;
          Check(False, 'a session cannot ask for another pace than the open ones keep');
        except
          on E: EDap32 do
            Check(E.Code = DAP_ERR_CANNOT_COMPLY, 'a session cannot ask for another pace');
        end;
      Recorder.Last := 0;
      Recorder.Largest := 0;
      Ftp.OnProgress := Recorder.Progress;
      Ftp.Put(Original, 'pace.bin');
      Largest[Pace] := Recorder.Largest;
      Ftp.Delete('pace.bin');
    finally
      Ftp.Free;
    end;
  end;
  { One step of the original pace sends uploadBlockSize (1024 bytes); one of the fast pace what
    the socket takes, up to 4 MiB: a fresh connection takes 16 KiB at least. }
  Check((Largest[dpOriginal] <= 1024) and (Largest[dpFast] > 8192),
    'largest upload steps: original ' + IntToStr(Largest[dpOriginal]) + ', fast ' +
    IntToStr(Largest[dpFast]));

  { More sessions than channels, freed without Disconnect: the destructor closes each. }
  Descriptors := OpenDescriptors;
  for I := 1 to 40 do
    NewSession(Port).Free;
  Check(OpenDescriptors = Descriptors, '40 sessions freed leave no descriptor open');
  Check((Dap32ErrorKind(-31) = dekServer) and (Dap32ErrorKind(-1) = dekConnect) and
    (Dap32ErrorKind(-10054) = dekConnect), '-31 is a server error, -1 and -10054 lost connections');

  try
    NewSession(StrToInt(GetEnvironmentVariable('DAP32_TEST_CLOSED_PORT'))).Free;
    Check(False, 'a refused connection raises');
  except
    on E: EDap32Connect do
      Check((E.Code = -10061) and (E.Message = 'Connection refused by remote host.'),
        'a refused connection raises EDap32Connect');
  end;

  { EPSV is the sessions' default (every session above used it); a proxy must be readable. }
  Ftp := TDap32Ftp.Create;
  Ftp.Proxy := 'ftp://nowhere:21';
  try
    Ftp.Connect('127.0.0.1', 'u', 'p', Port);
    Check(False, 'a proxy that cannot be read raises');
  except
    on E: EDap32 do
      Check(E.Code = DAP_ERR_CANNOT_COMPLY, 'a proxy that cannot be read raises -6');
  end;
  Ftp.Free;
  Ftp := TDap32Ftp.Create;
  Ftp.IpVersion := ivAny;
  Ftp.Connect('localhost', GetEnvironmentVariable('DAP32_TEST_USER'),
    GetEnvironmentVariable('DAP32_TEST_PASSWORD'), Port);
  Check(Ftp.RetrieveCurrentDir = '/', 'ivAny connects to localhost');
  Ftp.Free;
  CheckTls(Port, Work, Lines);

  WriteLn(Passed, ' passed, ', Failed, ' failed');
  if Failed > 0 then
    Halt(1);
end.
