## Folder security through Windows: the owners and permissions a secured folder may have,
## and the only functions that touch Windows security or hold a folder open: a folder is
## created with its protection in the creating call, opened without following a link and
## without sharing delete access (so nobody can rename or replace it while it is held), and
## its attributes, owner and permissions are read through that handle. Uses nothing from
## earlier parts.

#region Folder security through Windows

# Every standard user may add files and folders below ProgramData and owns what they add. The
# folders this elevated script writes into, runs installers from and deletes in must therefore
# be private to administrators. Security is passed as security descriptor text (owner, DACL
# flags and entries by SID), which also keeps "no DACL" (everyone full control) apart from
# "an empty DACL".
$script:AdministratorsSid = 'S-1-5-32-544'
$script:SystemSid = 'S-1-5-18'
# NT SERVICE\TrustedInstaller: S-1-5-80 followed by the first five little-endian 32-bit words
# of the SHA-1 of the upper-case service name in UTF-16LE.
$script:TrustedInstallerSid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
$script:UsersSid = 'S-1-5-32-545'
$script:EveryoneSid = 'S-1-1-0'
# Owners a secured folder may have, who are also the only ones allowed to change it.
$script:SecuredFolderOwners = @($script:AdministratorsSid, $script:SystemSid, $script:TrustedInstallerSid)
# The protected DACL of a secured folder, inherited by everything in it, by its access:
# "Readable" (ORVELLE, Game Support and Logs, so that a player can attach a log) lets Users
# read and list it; "Private" (Downloads, Reports and the folders of a run inside them) lets
# nobody but SYSTEM and Administrators in.
$script:SecuredFolderAccess = @{
    Readable = @(
        [pscustomobject]@{ Sid = $script:SystemSid; Rights = 0x1F01FF },          # full control
        [pscustomobject]@{ Sid = $script:AdministratorsSid; Rights = 0x1F01FF },  # full control
        [pscustomobject]@{ Sid = $script:UsersSid; Rights = 0x1200A9 }            # read and execute
    )
    Private  = @(
        [pscustomobject]@{ Sid = $script:SystemSid; Rights = 0x1F01FF },
        [pscustomobject]@{ Sid = $script:AdministratorsSid; Rights = 0x1F01FF }
    )
}
# Access bits that let their holder change a folder or what is in it: write data / add file,
# append data / add subfolder, write extended attributes, delete child, write attributes,
# delete, write DAC, write owner, generic all, generic write (full control holds them all).
$script:FolderWriteRights = 0x500D0156
# Every access bit but SYNCHRONIZE, which alone lets nobody in: anyone else holding one of
# these in a private folder's DACL could read or list it.
$script:FolderAnyRights = 0xFFEFFFFF

# How a folder is held (CreateFile): READ_CONTROL, FILE_READ_ATTRIBUTES and listing; read
# and write sharing but never delete sharing; backup semantics (needed for a folder) and the
# reparse point itself, never what a link points to.
$script:FolderHandleAccess = 0x00020081
$script:FolderHandleShare = 0x3
$script:FolderHandleFlags = 0x02200000
$script:OwnerAndDaclInformation = 0x5
# The type that makes those calls, once Get-FolderHandleApi has made it.
$script:FolderHandleApi = $null

# Security descriptor text of a secured folder with the given access: owner Administrators
# and the protected DACL above, each entry inherited by subfolders and files.
function Get-SecuredFolderSddl {
    param([ValidateSet('Readable', 'Private')][string]$Access = 'Readable')
    $entries = foreach ($entry in $script:SecuredFolderAccess[$Access]) {
        '(A;OICI;0x{0};;;{1})' -f ([long]$entry.Rights).ToString('x', [Globalization.CultureInfo]::InvariantCulture), $entry.Sid
    }
    return ('O:{0}D:P{1}' -f $script:AdministratorsSid, ($entries -join ''))
}

# The Windows calls behind the folder handles, made once per run in memory: CreateFileW,
# GetFileInformationByHandle and GetKernelObjectSecurity. Nothing is compiled or written to
# disk for them. Windows only.
function Get-FolderHandleApi {
    if ($null -ne $script:FolderHandleApi) {
        return $script:FolderHandleApi
    }
    $name = New-Object System.Reflection.AssemblyName 'OrvelleFolderHandles'
    $assembly = [System.Reflection.Emit.AssemblyBuilder]::DefineDynamicAssembly($name, [System.Reflection.Emit.AssemblyBuilderAccess]::Run)
    $type = $assembly.DefineDynamicModule('OrvelleFolderHandles').DefineType('OrvelleFolderHandles', 'Public, Class')
    $handle = [Microsoft.Win32.SafeHandles.SafeFileHandle]
    $calls = @(
        @('kernel32.dll', 'CreateFileW', $handle, @([string], [uint32], [uint32], [IntPtr], [uint32], [uint32], [IntPtr])),
        @('kernel32.dll', 'GetFileInformationByHandle', [bool], @($handle, [byte[]])),
        @('advapi32.dll', 'GetKernelObjectSecurity', [bool], @($handle, [uint32], [byte[]], [uint32], [uint32].MakeByRefType()))
    )
    $dllImport = [System.Runtime.InteropServices.DllImportAttribute]
    foreach ($call in $calls) {
        $method = $type.DefinePInvokeMethod($call[1], $call[0], 'Public, Static, PinvokeImpl', 'Standard', $call[2], [type[]]$call[3], 'Winapi', 'Unicode')
        $method.SetImplementationFlags('PreserveSig')
        $attribute = New-Object System.Reflection.Emit.CustomAttributeBuilder($dllImport.GetConstructor(@([string])), @($call[0]), [System.Reflection.FieldInfo[]]@($dllImport.GetField('SetLastError')), [object[]]@($true))
        $method.SetCustomAttribute($attribute)
    }
    $script:FolderHandleApi = $type.CreateType()
    return $script:FolderHandleApi
}

# The attributes of the item at Path without following a link there, or $null when nothing
# is there.
function Get-FolderItemAttributes {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        return [System.IO.File]::GetAttributes($Path)
    } catch [System.IO.FileNotFoundException], [System.IO.DirectoryNotFoundException] {
        return $null
    }
}

# The text of the last Windows error of this thread.
function Get-LastWindowsErrorText {
    return (New-Object System.ComponentModel.Win32Exception ([System.Runtime.InteropServices.Marshal]::GetLastWin32Error())).Message
}

# Opens what stands at Path, a folder or anything else, without following a link there and
# without sharing delete access, and returns the handle; $null when nothing is there.
# Throws with Windows' reason otherwise (permissions that shut administrators out, for one).
# Whether anything is there is asked again only when the open failed: that answer decides
# nothing but whether a folder is to be made, and a made folder is opened and checked anew.
# Windows only.
function Open-FolderHandle {
    param([Parameter(Mandatory = $true)][string]$Path)
    $api = Get-FolderHandleApi
    $handle = $api::CreateFileW($Path, [uint32]$script:FolderHandleAccess, [uint32]$script:FolderHandleShare, [IntPtr]::Zero, [uint32]3, [uint32]$script:FolderHandleFlags, [IntPtr]::Zero)
    if (-not $handle.IsInvalid) {
        return $handle
    }
    $reason = Get-LastWindowsErrorText
    $handle.Dispose()
    if ($null -eq (Get-FolderItemAttributes -Path $Path)) {
        return $null
    }
    throw $reason
}

# The attributes of the object behind a handle (Open-FolderHandle). Windows only.
function Get-FolderHandleAttributes {
    param([Parameter(Mandatory = $true)]$Handle)
    # BY_HANDLE_FILE_INFORMATION: 52 bytes, the attributes first.
    $information = New-Object byte[] 52
    if (-not (Get-FolderHandleApi)::GetFileInformationByHandle($Handle, $information)) {
        throw (Get-LastWindowsErrorText)
    }
    return [System.IO.FileAttributes][BitConverter]::ToInt32($information, 0)
}

# The owner and every entry of the DACL of the object behind a handle: Owner as a SID
# string, Access as entries with Sid, Rights (the access mask) and Allow. No DACL reads as
# everyone allowed everything; an entry of another kind than allow or deny reads as
# everyone allowed everything too, so that it never passes for harmless. Windows only.
function Get-FolderHandleSecurity {
    param([Parameter(Mandatory = $true)]$Handle)
    $api = Get-FolderHandleApi
    $needed = [uint32]0
    $buffer = New-Object byte[] 4096
    if (-not $api::GetKernelObjectSecurity($Handle, [uint32]$script:OwnerAndDaclInformation, $buffer, [uint32]$buffer.Length, [ref]$needed)) {
        throw (Get-LastWindowsErrorText)
    }
    return (ConvertFrom-SecurityDescriptorBytes -Bytes $buffer)
}

# Owner and DACL entries (see Get-FolderHandleSecurity) of a self-relative security
# descriptor.
function ConvertFrom-SecurityDescriptorBytes {
    param([Parameter(Mandatory = $true)][byte[]]$Bytes)
    $descriptor = New-Object System.Security.AccessControl.RawSecurityDescriptor $Bytes, 0
    $owner = ''
    if ($null -ne $descriptor.Owner) {
        $owner = $descriptor.Owner.Value
    }
    $everything = [pscustomobject]@{ Sid = $script:EveryoneSid; Rights = [long]0x1F01FF; Allow = $true }
    if ($null -eq $descriptor.DiscretionaryAcl) {
        return [pscustomobject]@{ Owner = $owner; Access = @($everything) }
    }
    $access = @()
    foreach ($entry in $descriptor.DiscretionaryAcl) {
        if ($entry -is [System.Security.AccessControl.CommonAce] -and
            ($entry.AceQualifier -eq [System.Security.AccessControl.AceQualifier]::AccessAllowed -or $entry.AceQualifier -eq [System.Security.AccessControl.AceQualifier]::AccessDenied)) {
            $access += [pscustomobject]@{
                Sid    = $entry.SecurityIdentifier.Value
                Rights = [long][uint32]$entry.AccessMask
                Allow  = ($entry.AceQualifier -eq [System.Security.AccessControl.AceQualifier]::AccessAllowed)
            }
        } else {
            $access += $everything
        }
    }
    return [pscustomobject]@{ Owner = $owner; Access = $access }
}

# Closes a handle from Open-FolderHandle.
function Close-FolderHandle {
    param([Parameter(Mandatory = $true)]$Handle)
    $Handle.Dispose()
}

# Creates one folder with the given security descriptor applied by the creating call itself.
# A folder that already exists is left as it is; the caller checks it afterwards. Windows
# PowerShell 5.1 (.NET Framework) has Directory.CreateDirectory(path, security); PowerShell 7
# has FileSystemAclExtensions.Create(DirectoryInfo, security) instead. Windows only.
function New-FolderWithSecurity {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Sddl
    )
    $security = New-Object System.Security.AccessControl.DirectorySecurity
    $security.SetSecurityDescriptorSddlForm($Sddl)
    $securityType = [System.Security.AccessControl.DirectorySecurity]
    $frameworkCreate = [System.IO.Directory].GetMethod('CreateDirectory', [type[]]@([string], $securityType))
    if ($null -ne $frameworkCreate) {
        $null = [System.IO.Directory]::CreateDirectory($Path, $security)
        return
    }
    $extensions = 'System.IO.FileSystemAclExtensions' -as [type]
    $null = $extensions::Create((New-Object System.IO.DirectoryInfo $Path), $security)
}

# Gives an existing folder the given security descriptor; Windows passes the DACL's inherited
# entries on to everything in the folder. Windows only.
function Set-FolderItemSecurity {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Sddl
    )
    $security = New-Object System.Security.AccessControl.DirectorySecurity
    $security.SetSecurityDescriptorSddlForm($Sddl)
    $folder = New-Object System.IO.DirectoryInfo $Path
    if ($null -ne [System.IO.DirectoryInfo].GetMethod('SetAccessControl', [type[]]@([System.Security.AccessControl.DirectorySecurity]))) {
        $folder.SetAccessControl($security)
        return
    }
    $extensions = 'System.IO.FileSystemAclExtensions' -as [type]
    $extensions::SetAccessControl($folder, $security)
}
#endregion
