{ The Pascal binding against pyftpdlib, run by run_binding_test.py; ends with
  "N passed, M failed". }
program session_test;

{$MODE DELPHI}

uses
  Classes, SysUtils, dap32, dap32ftp;

type
  TRecorder = class
    Calls: Integer;
    Last: Int64;
    procedure Progress(Sender: TObject; BytesSoFar: Int64);
  end;

var
  Passed, Failed: Integer;

procedure TRecorder.Progress(Sender: TObject; BytesSoFar: Int64);
begin
  Inc(Calls);
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

function NewSession(Port: Integer): TDap32Ftp;
begin
  Result := TDap32Ftp.Create;
  try
    Result.Connect('127.0.0.1', GetEnvironmentVariable('DAP32_TEST_USER'),
      GetEnvironmentVariable('DAP32_TEST_PASSWORD'), Port);
  except
    Result.Free;
    raise;
  end;
end;

var
  Ftp: TDap32Ftp;
  Work, Original, Copied: string;
  Data: RawByteString;
  Lines: TStringList;
  Recorder: TRecorder;
  I: Integer;
  Buffer: array[0..63] of AnsiChar;
begin
  Work := GetEnvironmentVariable('DAP32_TEST_WORK');
  Original := Work + '/original.bin';
  Copied := Work + '/copy.bin';
  SetLength(Data, 300000);
  RandSeed := 12;
  for I := 1 to Length(Data) do
    Data[I] := AnsiChar(Random(256));
  WriteFile(Original, Data);
  WriteFile(Copied, 'kept');
  Lines := TStringList.Create;
  Recorder := TRecorder.Create;

  Ftp := NewSession(StrToInt(GetEnvironmentVariable('DAP32_TEST_PORT')));
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
    Check((Lines.Count = 1) and (Pos(' 300000 ', Lines[0]) > 0), 'LIST shows the size');
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

  try
    NewSession(StrToInt(GetEnvironmentVariable('DAP32_TEST_CLOSED_PORT'))).Free;
    Check(False, 'a refused connection raises');
  except
    on E: EDap32Connect do
      Check((E.Code = -10061) and (E.Message = 'Connection refused by remote host.'),
        'a refused connection raises EDap32Connect');
  end;

  WriteLn(Passed, ' passed, ', Failed, ' failed');
  if Failed > 0 then
    Halt(1);
end.
