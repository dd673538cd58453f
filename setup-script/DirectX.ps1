## DirectX legacy runtime: downloads the June 2010 package, unpacks it into a private
## folder of this run, runs its signed DXSETUP.exe and checks for d3dx9_43.dll. Uses rights
## and Windows, the secured folders, the verified download, Windows Installer's turn, the
## installers' logs, the output and the state (WorkDir).

#region DirectX legacy runtime

# The June 2010 DirectX package is unpacked into a new private folder of this run
# ("DirectX-June2010.<16 hex>" in the work folder), deleted afterwards, and only its signed
# DXSETUP.exe is run.
$script:DirectXLegacy = @{
    Url                 = 'https://download.microsoft.com/download/8/4/a/84a35bf1-dafe-4ae8-82af-ad2ae20b6b14/directx_Jun2010_redist.exe'
    PackageFile         = 'directx_Jun2010_redist.exe'
    Label               = 'DirectX End-User Runtimes (June 2010)'
    ExtractFolder       = 'DirectX-June2010'
    ExtractSuccessCodes = @(0)
    ExtractLabel        = 'DirectX-Extract'
    SetupFile           = 'DXSETUP.exe'
    SetupArguments      = '/silent'
    SetupSuccessCodes   = @(0, 3010)
    SetupLabel          = 'DXSETUP'
    # DXSETUP's own log, in the Windows folder.
    SetupLog            = 'DXError.log'
    Dll                 = 'd3dx9_43.dll'
}

# Where the DirectX setup leaves d3dx9_43.dll: the system folder for 32-bit programs
# (SysWOW64 on 64-bit Windows, System32 on 32-bit Windows).
function Get-DirectXLegacyDllPath {
    $systemFolder = 'System32'
    if (Test-Is64BitWindows) {
        $systemFolder = 'SysWOW64'
    }
    return Join-Path (Join-Path (Get-WindowsFolder) $systemFolder) $script:DirectXLegacy.Dll
}

# Downloads (or takes from the verified cache) the DirectX June 2010 package, unpacks it
# from a folder of this run into another new private folder, verifies and runs its
# DXSETUP.exe silently, deletes the unpacked files and checks that d3dx9_43.dll is in the
# system folder for 32-bit programs. Throws at the first stage that fails, with that
# stage's message.
function Install-DirectXLegacy {
    $directX = $script:DirectXLegacy
    $package = Get-VerifiedMicrosoftFile -Url $directX.Url -Destination (Join-Path $script:WorkDir $directX.PackageFile) -Label $directX.Label

    $extractFolder = [System.IO.Path]::GetFullPath((New-PrivateFolder -Stem (Join-Path $script:WorkDir $directX.ExtractFolder) -Access Private))
    try {
        $extractArguments = '/Q /T:"' + $extractFolder + '"'
        $null = Invoke-VerifiedInstaller -FilePath $package -Arguments $extractArguments -SuccessCodes $directX.ExtractSuccessCodes -Label $directX.ExtractLabel

        $setup = Join-Path $extractFolder $directX.SetupFile
        if (-not (Test-Path -LiteralPath $setup -PathType Leaf)) {
            throw 'DXSETUP.exe was not found after secure extraction.'
        }
        $null = Test-MicrosoftSignature -Path $setup
        try {
            $null = Invoke-WindowsInstallerPackage -FilePath $setup -Arguments $directX.SetupArguments -SuccessCodes $directX.SetupSuccessCodes -Label $directX.SetupLabel
        } catch {
            throw (Add-InstallerLogToFailure -Cause $_ -Path (Join-Path (Get-WindowsFolder) $directX.SetupLog))
        }
    } finally {
        Remove-RunFolder -Path $extractFolder
    }

    if (-not (Test-Path -LiteralPath (Get-DirectXLegacyDllPath) -PathType Leaf)) {
        throw 'DirectX setup completed but d3dx9_43.dll was not found.'
    }
    Write-Log -Message 'DirectX legacy DLL verification passed (d3dx9_43.dll).' -Level OK
}
#endregion
