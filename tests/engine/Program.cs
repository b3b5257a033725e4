// Starts the PowerShell engine with this process's arguments, as
// powershell.exe would. Under Wine the console host ends silently with 0 when
// the process has no usable console (a GUI program that starts a console
// program gives it one that Wine cannot drive), so such a start runs the
// engine again in a child made with CREATE_NO_WINDOW, hands it the standard
// handles, holds it in a kill-on-close job and passes its exit code on.
// MORVELLANE_ENGINE_CONSOLE_FILE (tests only) sends the child's output and
// error text to that file instead, for programs that give PowerShell none.
using System;
using System.Collections.Generic;
using System.Reflection;
using System.Runtime.InteropServices;

static class Program
{
    const string RelaunchedVariable = "MORVELLANE_ENGINE_RELAUNCHED";
    const string ConsoleFileVariable = "MORVELLANE_ENGINE_CONSOLE_FILE";

    static int Main(string[] args)
    {
        bool relaunched = Environment.GetEnvironmentVariable(RelaunchedVariable) != null;
        string consoleFile = Environment.GetEnvironmentVariable(ConsoleFileVariable);
        if (!relaunched && (!string.IsNullOrEmpty(consoleFile) || !HasUsableConsole()))
        {
            return Native.RunAgainWithoutWindow(consoleFile);
        }
        // The engine and the scripts it runs never see the host's own variables.
        Environment.SetEnvironmentVariable(RelaunchedVariable, null);
        Environment.SetEnvironmentVariable(ConsoleFileVariable, null);
        RefuseUnvalidatedHashesUnderFipsPolicy();
        return Microsoft.PowerShell.UnmanagedPSEntry.Start(args, args.Length);
    }

    // Under the group policy "System cryptography: Use FIPS compliant
    // algorithms", Windows PowerShell 5.1 (.NET Framework, legacy FIPS
    // behaviour) refuses the managed hash classes: their constructors throw,
    // and SHA256::Create(), SHA384::Create() and SHA512::Create() build one.
    // The CryptoServiceProvider and Cng classes stay usable. PowerShell 7
    // ignores the policy (PowerShell issue #24502), so with the policy on,
    // those type names resolve to one that refuses the same way: PowerShell
    // looks a type name up in its built-in accelerators before any assembly.
    static void RefuseUnvalidatedHashesUnderFipsPolicy()
    {
        if (!OperatingSystem.IsWindows())
        {
            return;  // built for win-x64 only; this tells the platform analyzer so
        }
        using (var policy = Microsoft.Win32.Registry.LocalMachine.OpenSubKey(
                   @"SYSTEM\CurrentControlSet\Control\Lsa\FipsAlgorithmPolicy"))
        {
            if (!(policy?.GetValue("Enabled") is int enabled) || enabled == 0)
            {
                return;
            }
        }
        var accelerators = (Dictionary<string, Type>)typeof(System.Management.Automation.PSObject).Assembly
            .GetType("System.Management.Automation.TypeAccelerators")
            .GetField("builtinTypeAccelerators", BindingFlags.NonPublic | BindingFlags.Static)
            .GetValue(null);
        string[] refused = { "SHA256", "SHA384", "SHA512", "SHA1Managed", "SHA256Managed", "SHA384Managed",
                             "SHA512Managed", "RIPEMD160Managed" };
        foreach (string name in refused)
        {
            accelerators["Security.Cryptography." + name] = typeof(FipsRefusedHash);
            accelerators["System.Security.Cryptography." + name] = typeof(FipsRefusedHash);
        }
    }

    // Wine may hand such a process a CONOUT$ that opens but is no console.
    static bool HasUsableConsole()
    {
        IntPtr console = Native.CreateFileW("CONOUT$", Native.GenericRead | Native.GenericWrite, Native.FileShareWrite,
                                            IntPtr.Zero, Native.OpenExisting, 0, IntPtr.Zero);
        if (console == Native.InvalidHandle)
        {
            return false;
        }
        bool usable = Native.GetConsoleMode(console, out _);
        Native.CloseHandle(console);
        return usable;
    }

    static class Native
    {
        public const uint GenericRead = 0x80000000, GenericWrite = 0x40000000;
        public const uint FileShareRead = 1, FileShareWrite = 2, OpenExisting = 3, OpenAlways = 4;
        public static readonly IntPtr InvalidHandle = new IntPtr(-1);
        const uint CreateSuspended = 0x4, CreateNoWindow = 0x08000000, UseStdHandles = 0x100;
        const uint KillOnJobClose = 0x2000, FileAppendData = 0x4, HandleFlagInherit = 1;
        const int JobObjectExtendedLimitInformation = 9;

        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
        struct StartupInfo
        {
            public int cb;
            public string lpReserved, lpDesktop, lpTitle;
            public int dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
            public uint dwFlags;
            public short wShowWindow, cbReserved2;
            public IntPtr lpReserved2, hStdInput, hStdOutput, hStdError;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct ProcessInformation
        {
            public IntPtr hProcess, hThread;
            public int dwProcessId, dwThreadId;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct ExtendedLimits
        {
            public long PerProcessUserTimeLimit, PerJobUserTimeLimit;
            public uint LimitFlags;
            public UIntPtr MinimumWorkingSetSize, MaximumWorkingSetSize;
            public uint ActiveProcessLimit;
            public UIntPtr Affinity;
            public uint PriorityClass, SchedulingClass;
            public ulong ReadOperationCount, WriteOperationCount, OtherOperationCount;
            public ulong ReadTransferCount, WriteTransferCount, OtherTransferCount;
            public UIntPtr ProcessMemoryLimit, JobMemoryLimit, PeakProcessMemoryUsed, PeakJobMemoryUsed;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct SecurityAttributes
        {
            public int nLength;
            public IntPtr lpSecurityDescriptor;
            public int bInheritHandle;
        }

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
        public static extern IntPtr CreateFileW(string name, uint access, uint share, IntPtr security, uint disposition,
                                                uint flags, IntPtr template);
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true, EntryPoint = "CreateFileW")]
        static extern IntPtr CreateInheritableFile(string name, uint access, uint share, ref SecurityAttributes security,
                                                   uint disposition, uint flags, IntPtr template);
        [DllImport("kernel32.dll")]
        public static extern bool CloseHandle(IntPtr handle);
        [DllImport("kernel32.dll")]
        public static extern bool GetConsoleMode(IntPtr console, out uint mode);
        [DllImport("kernel32.dll")]
        static extern IntPtr GetStdHandle(int which);
        [DllImport("kernel32.dll")]
        static extern bool SetHandleInformation(IntPtr handle, uint mask, uint flags);
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode)]
        static extern IntPtr GetCommandLineW();
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
        static extern bool CreateProcessW(string application, char[] commandLine, IntPtr processSecurity,
                                          IntPtr threadSecurity, bool inheritHandles, uint flags, IntPtr environment,
                                          string directory, ref StartupInfo startup, out ProcessInformation process);
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode)]
        static extern IntPtr CreateJobObjectW(IntPtr security, string name);
        [DllImport("kernel32.dll")]
        static extern bool SetInformationJobObject(IntPtr job, int infoClass, ref ExtendedLimits limits, int size);
        [DllImport("kernel32.dll")]
        static extern bool AssignProcessToJobObject(IntPtr job, IntPtr process);
        [DllImport("kernel32.dll")]
        static extern uint ResumeThread(IntPtr thread);
        [DllImport("kernel32.dll")]
        static extern uint WaitForSingleObject(IntPtr handle, uint milliseconds);
        [DllImport("kernel32.dll")]
        static extern bool GetExitCodeProcess(IntPtr process, out uint exitCode);
        [DllImport("kernel32.dll")]
        static extern bool TerminateProcess(IntPtr process, uint exitCode);

        static IntPtr Inheritable(IntPtr handle)
        {
            if (handle != IntPtr.Zero && handle != InvalidHandle)
            {
                SetHandleInformation(handle, HandleFlagInherit, HandleFlagInherit);
            }
            return handle;
        }

        public static int RunAgainWithoutWindow(string consoleFile)
        {
            var startup = new StartupInfo { cb = Marshal.SizeOf<StartupInfo>(), dwFlags = UseStdHandles };
            startup.hStdInput = Inheritable(GetStdHandle(-10));
            IntPtr file = InvalidHandle;
            if (!string.IsNullOrEmpty(consoleFile))
            {
                var inherit = new SecurityAttributes { nLength = Marshal.SizeOf<SecurityAttributes>(), bInheritHandle = 1 };
                file = CreateInheritableFile(consoleFile, FileAppendData, FileShareRead | FileShareWrite, ref inherit,
                                             OpenAlways, 0x80, IntPtr.Zero);
                startup.hStdOutput = startup.hStdError = file;
            }
            else
            {
                startup.hStdOutput = Inheritable(GetStdHandle(-11));
                startup.hStdError = Inheritable(GetStdHandle(-12));
            }
            Environment.SetEnvironmentVariable(RelaunchedVariable, "1");
            char[] commandLine = (Marshal.PtrToStringUni(GetCommandLineW()) + "\0").ToCharArray();
            IntPtr job = CreateJobObjectW(IntPtr.Zero, null);
            var limits = new ExtendedLimits { LimitFlags = KillOnJobClose };
            SetInformationJobObject(job, JobObjectExtendedLimitInformation, ref limits, Marshal.SizeOf<ExtendedLimits>());
            uint exitCode = 0xFFFFFFFF;
            if (CreateProcessW(Environment.ProcessPath, commandLine, IntPtr.Zero, IntPtr.Zero, true,
                               CreateSuspended | CreateNoWindow, IntPtr.Zero, null, ref startup,
                               out ProcessInformation process))
            {
                if (!AssignProcessToJobObject(job, process.hProcess))
                {
                    TerminateProcess(process.hProcess, 1);
                }
                ResumeThread(process.hThread);
                WaitForSingleObject(process.hProcess, 0xFFFFFFFF);
                GetExitCodeProcess(process.hProcess, out exitCode);
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
            }
            if (file != InvalidHandle)
            {
                CloseHandle(file);
            }
            CloseHandle(job);
            return unchecked((int)exitCode);
        }
    }
}

// A hash implementation that is not FIPS-validated, as .NET Framework treats
// one under the policy: making it throws.
public sealed class FipsRefusedHash
{
    const string Message = "This implementation is not part of the Windows Platform FIPS validated cryptographic algorithms.";

    public FipsRefusedHash() => throw new InvalidOperationException(Message);

    public static object Create() => throw new InvalidOperationException(Message);

    public static object Create(string name) => throw new InvalidOperationException(Message);
}
