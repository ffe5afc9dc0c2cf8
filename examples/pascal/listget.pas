{ listget: lists a server directory and downloads one file from it, printing the bytes moved
  as they come.

    listget HOST PORT USER PASSWORD REMOTE_DIR FILE LOCAL_DIR }
program listget;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

uses
  Classes, SysUtils, dap32ftp;

type
  TPrinter = class
    FileName: string;
    procedure Progress(Sender: TObject; BytesSoFar: Int64);
  end;

procedure TPrinter.Progress(Sender: TObject; BytesSoFar: Int64);
begin
  Write(ErrOutput, #13, FileName, ': ', BytesSoFar, ' bytes');
end;

var
  Ftp: TDap32Ftp;
  Lines: TStringList;
  Printer: TPrinter;
  Local: string;
  I: Integer;
begin
  if ParamCount <> 7 then
  begin
    WriteLn(ErrOutput, 'usage: listget HOST PORT USER PASSWORD REMOTE_DIR FILE LOCAL_DIR');
    Halt(2);
  end;
  Local := IncludeTrailingPathDelimiter(ParamStr(7)) + ParamStr(6);
  Ftp := TDap32Ftp.Create;
  Lines := TStringList.Create;
  Printer := TPrinter.Create;
  try
    try
      Ftp.Connect(ParamStr(1), ParamStr(3), ParamStr(4), StrToInt(ParamStr(2)));
      Ftp.ChangeDir(ParamStr(5));
      Ftp.List(Lines);
      for I := 0 to Lines.Count - 1 do
        WriteLn(Lines[I]);
      Printer.FileName := ParamStr(6);
      Ftp.OnProgress := Printer.Progress;
      Ftp.Get(ParamStr(6), Local);
      WriteLn(ErrOutput);
      with TFileStream.Create(Local, fmOpenRead) do
        try
          WriteLn(ParamStr(6), ': ', Size, ' bytes received');
        finally
          Free;
        end;
    except
      on E: EDap32 do
      begin
        WriteLn(ErrOutput, 'listget: ', E.Message, ' (', E.Code, ')');
        ExitCode := 1;
      end;
    end;
  finally
    Printer.Free;
    Lines.Free;
    Ftp.Free;
  end;
end.
