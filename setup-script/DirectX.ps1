## DirectX legacy runtime: downloads the June 2010 package, unpacks it into a private
## folder of this run, runs its signed DXSETUP.exe and checks for d3dx9_43.dll. Uses the
## secured folders, the verified download, Windows Installer's turn, the installers' logs,
## the output and the state (WorkDir).

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

# Clears the read-only, hidden and system attributes of a real file or folder, which would
# otherwise make Windows refuse to delete it (or, on a folder, the entries inside it).
function Clear-ProtectiveAttributes {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    $protective = [int]([System.IO.FileAttributes]::ReadOnly -bor [System.IO.FileAttributes]::Hidden -bor [System.IO.FileAttributes]::System)
    if (([int]$Attributes -band $protective) -eq 0) {
        return
    }
    $cleared = [int]$Attributes -band (-bnot $protective)
    if ($cleared -eq 0) {
        $cleared = [int][System.IO.FileAttributes]::Normal
    }
    [System.IO.File]::SetAttributes($Path, [System.IO.FileAttributes]$cleared)
}

# Deletes one file-system entry. A link (symbolic link, junction, mount point) is removed
# as a link and its target is never touched. A real folder is emptied entry by entry and
# then removed. Read-only, hidden and system attributes are cleared first.
function Remove-FileSystemEntry {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    if (Test-IsLinkAttribute -Attributes $Attributes) {
        Remove-FolderLink -Path $Path -Attributes $Attributes
        return
    }
    Clear-ProtectiveAttributes -Path $Path -Attributes $Attributes
    if (($Attributes -band [System.IO.FileAttributes]::Directory) -ne 0) {
        foreach ($child in [System.IO.Directory]::GetFileSystemEntries($Path)) {
            $childAttributes = Get-FolderItemAttributes -Path $child
            if ($null -ne $childAttributes) {
                Remove-FileSystemEntry -Path $child -Attributes $childAttributes
            }
        }
        [System.IO.Directory]::Delete($Path, $false)
        return
    }
    [System.IO.File]::Delete($Path)
}

# Deletes whatever is at the path with everything below it, hidden and read-only items
# included, without ever following a link: a link at the path itself or anywhere below is
# removed as a link, so nothing outside the tree is deleted. Nothing there is no error.
function Remove-DirectoryTree {
    param([Parameter(Mandatory = $true)][string]$Path)
    $fullPath = [System.IO.Path]::GetFullPath($Path)
    $attributes = Get-FolderItemAttributes -Path $fullPath
    if ($null -eq $attributes) {
        return
    }
    Remove-FileSystemEntry -Path $fullPath -Attributes $attributes
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
    $package = Join-Path $script:WorkDir $directX.PackageFile
    Get-VerifiedMicrosoftFile -Url $directX.Url -Destination $package -Label $directX.Label

    $extractFolder = [System.IO.Path]::GetFullPath((New-PrivateFolder -Stem (Join-Path $script:WorkDir $directX.ExtractFolder)))
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
