## Secured folders: a folder this elevated script writes into, runs installers from or
## deletes in is checked through a handle it then holds until the run ends, and used only
## when it is private to administrators; otherwise it is set aside and replaced, or a fresh
## private folder beside it is used. Uses folder security through Windows.

#region Secured folders

# A folder that is already there is used only when nobody but Administrators, SYSTEM or
# TrustedInstaller could ever have changed it. It is judged through one open handle that
# follows no link and shares no delete access, and that handle stays open until the run ends:
# between the check and the use nobody can rename the folder, put a link or another folder in
# its place, or change what the path leads to (each level is held before the next is opened
# by path inside it). Anything else is never adopted: a link is removed as a link, and a
# folder that others could change, or a file where a folder belongs, is moved aside under a
# new name that nobody can guess in advance, with everything in it untouched, and a new
# folder takes its place. Files someone planted there therefore never reach the cache or the
# folder an installer runs from, and handles opened on the old folder keep pointing at the
# moved one. A private folder that others may still read is given the private permissions in
# place. A folder that still cannot be made private (another user's process holds it open,
# or someone keeps re-creating it) does not stop the run: a fresh private folder with a
# random name beside it is used instead.

# How often a folder is replaced before giving up, and how many random names are tried for a
# fresh folder: only someone racing this script makes a fresh folder fail its check.
$script:SecuredFolderAttempts = 3
# A folder moved aside keeps its name with this mark, the time and 64 random bits:
# "Downloads.untrusted-20261208-143000-9f2c4e1a0b7d3c65".
$script:SetAsideMark = '.untrusted-'
# Said in the log and the report when a level is replaced by a fresh folder beside it
# ({0} the blocked folder, {1} why, {2} the folder used instead).
$script:FallbackFolderFormat = 'The folder {0} could not be secured ({1}); this run used {2} instead.'
# Handles of the folders this run checked and uses, held until it ends (Close-HeldFolders).
$script:HeldFolders = New-Object System.Collections.Generic.List[object]

# True when the attributes mark a reparse point: a junction, mount point or symbolic link.
function Test-IsLinkAttribute {
    param([Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes)
    return (($Attributes -band [System.IO.FileAttributes]::ReparsePoint) -ne 0)
}

# Removes a junction, mount point or symbolic link itself; what it points to is not touched.
function Remove-FolderLink {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    if (($Attributes -band [System.IO.FileAttributes]::Directory) -ne 0) {
        # Removing a directory link without recursion deletes the link, never the target's files.
        [System.IO.Directory]::Delete($Path)
    } else {
        [System.IO.File]::Delete($Path)
    }
}

# 16 lower-case hexadecimal digits from 64 bits of the system's cryptographic random number
# generator: a name tail that nobody can take in advance.
function Get-RandomHexTail {
    $bytes = New-Object byte[] 8
    $generator = [System.Security.Cryptography.RandomNumberGenerator]::Create()
    try {
        $generator.GetBytes($bytes)
    } finally {
        $generator.Dispose()
    }
    return (($bytes | ForEach-Object { $_.ToString('x2', [Globalization.CultureInfo]::InvariantCulture) }) -join '')
}

# Says why a folder with this security (Owner, Access: see Get-FolderHandleSecurity) is not
# private to administrators, or returns "" when it is: owned by Administrators, SYSTEM or
# TrustedInstaller, and nobody else allowed any kind of write access.
function Get-FolderSecurityProblem {
    param([Parameter(Mandatory = $true)]$Security)
    if ($script:SecuredFolderOwners -notcontains $Security.Owner) {
        return ('it is owned by {0}' -f $Security.Owner)
    }
    foreach ($entry in @($Security.Access)) {
        if ($entry.Allow -and $script:SecuredFolderOwners -notcontains $entry.Sid -and ([long]$entry.Rights -band $script:FolderWriteRights) -ne 0) {
            return ('{0} may change it' -f $entry.Sid)
        }
    }
    return ''
}

# Says who besides Administrators, SYSTEM and TrustedInstaller may open a folder with this
# security at all, or returns "" when nobody may: what a private folder must be.
function Get-FolderReadProblem {
    param([Parameter(Mandatory = $true)]$Security)
    foreach ($entry in @($Security.Access)) {
        if ($entry.Allow -and $script:SecuredFolderOwners -notcontains $entry.Sid -and ([long]$entry.Rights -band $script:FolderAnyRights) -ne 0) {
            return ('{0} may read it' -f $entry.Sid)
        }
    }
    return ''
}

# Opens what stands at Path through a handle (Open-FolderHandle) and judges it by what the
# handle shows: Problem is "" for a real folder that is private to administrators (see
# Get-FolderSecurityProblem), else why not ("it does not exist", "it is a link", "a file of
# that name is in the way", "its permissions cannot be read: ...", "it is owned by ...",
# "... may change it"); ReadProblem says who else may read it (see Get-FolderReadProblem).
# Handle stays open only when Problem is "", and then the caller owns it.
function Open-CheckedFolder {
    param([Parameter(Mandatory = $true)][string]$Path)
    $check = [pscustomobject]@{ Handle = $null; Attributes = $null; Problem = ''; ReadProblem = '' }
    try {
        $handle = Open-FolderHandle -Path $Path
    } catch {
        # Permissions that shut administrators out cannot be judged, so the folder is not trusted.
        $check.Problem = ('its permissions cannot be read: {0}' -f $_.Exception.Message)
        return $check
    }
    if ($null -eq $handle) {
        $check.Problem = 'it does not exist'
        return $check
    }
    try {
        $check.Attributes = Get-FolderHandleAttributes -Handle $handle
        if (Test-IsLinkAttribute -Attributes $check.Attributes) {
            $check.Problem = 'it is a link'
        } elseif (($check.Attributes -band [System.IO.FileAttributes]::Directory) -eq 0) {
            $check.Problem = 'a file of that name is in the way'
        } else {
            try {
                $security = Get-FolderHandleSecurity -Handle $handle
                $check.Problem = Get-FolderSecurityProblem -Security $security
                $check.ReadProblem = Get-FolderReadProblem -Security $security
            } catch {
                $check.Problem = ('its permissions cannot be read: {0}' -f $_.Exception.Message)
            }
        }
    } catch {
        $check.Problem = $_.Exception.Message
    }
    if ($check.Problem -eq '') {
        $check.Handle = $handle
    } else {
        Close-FolderHandle -Handle $handle
    }
    return $check
}

# Why the item at Path is not a folder private to administrators, or "" when it is one
# (Open-CheckedFolder), without holding it.
function Get-FolderSafetyProblem {
    param([Parameter(Mandatory = $true)][string]$Path)
    $check = Open-CheckedFolder -Path $Path
    if ($null -ne $check.Handle) {
        Close-FolderHandle -Handle $check.Handle
    }
    return $check.Problem
}

# Keeps a checked folder's handle open until the run ends.
function Add-HeldFolder {
    param([Parameter(Mandatory = $true)]$Handle)
    $script:HeldFolders.Add($Handle)
}

# Closes the handles of the folders this run held, at its end.
function Close-HeldFolders {
    foreach ($handle in $script:HeldFolders.ToArray()) {
        try {
            Close-FolderHandle -Handle $handle
        } catch {
            # Closed already: nothing to give back.
        }
    }
    $script:HeldFolders.Clear()
}

# Gives a private folder that others may still read (Check, from Open-CheckedFolder, its
# handle held) the private permissions in place, and judges it again through the same
# handle. Returns "" when it is private now, else why not.
function Protect-CheckedFolder {
    param([Parameter(Mandatory = $true)][string]$Path, [Parameter(Mandatory = $true)]$Check)
    try {
        Set-FolderItemSecurity -Path $Path -Sddl (Get-SecuredFolderSddl -Access Private)
        $security = Get-FolderHandleSecurity -Handle $Check.Handle
    } catch {
        return ('its permissions could not be made private: {0}' -f $_.Exception.Message)
    }
    $problem = Get-FolderSecurityProblem -Security $security
    if ($problem -eq '') {
        $problem = Get-FolderReadProblem -Security $security
    }
    return $problem
}

# The name beside Path for setting aside what is there: its name, the mark, the local time
# and a random tail ("Downloads.untrusted-20261208-143000-9f2c4e1a0b7d3c65"), which nobody
# can have taken in advance.
function Get-SetAsidePath {
    param([Parameter(Mandatory = $true)][string]$Path)
    $stamp = (Get-Date).ToString('yyyyMMdd-HHmmss', [Globalization.CultureInfo]::InvariantCulture)
    return ('{0}{1}{2}-{3}' -f $Path, $script:SetAsideMark, $stamp, (Get-RandomHexTail))
}

# Renames a folder, or a file standing where a folder belongs, within its parent, without
# replacing anything at the new name. Nothing in it is opened, changed or followed.
function Move-FolderAside {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    if ([System.IO.Directory]::Exists($Path)) {
        [System.IO.Directory]::Move($Path, $Destination)
    } else {
        [System.IO.File]::Move($Path, $Destination)
    }
}

# Creates a folder that did not exist before, named Stem, a dot and a random tail
# ("Downloads\Install.9f2c4e1a0b7d3c65"), its protection (Access, see Get-SecuredFolderSddl)
# given by the creating call, and returns its path. It is checked through a handle, which
# is kept until the run ends with -Hold. Nobody can have prepared that name; a name taken
# all the same, or a folder that is not private once made, is passed over for a new name.
# Throws when no attempt gives a private folder.
function New-PrivateFolder {
    param(
        [Parameter(Mandatory = $true)][string]$Stem,
        [ValidateSet('Readable', 'Private')][string]$Access = 'Readable',
        [switch]$Hold
    )
    $problem = ''
    for ($attempt = 1; $attempt -le $script:SecuredFolderAttempts; $attempt++) {
        $candidate = '{0}.{1}' -f $Stem, (Get-RandomHexTail)
        try {
            if ($null -ne (Get-FolderItemAttributes -Path $candidate)) {
                $problem = ('{0} already exists' -f $candidate)
                continue
            }
            New-FolderWithSecurity -Path $candidate -Sddl (Get-SecuredFolderSddl -Access $Access)
            $check = Open-CheckedFolder -Path $candidate
            $problem = $check.Problem
            if ($problem -eq '' -and $Access -eq 'Private' -and $check.ReadProblem -ne '') {
                $problem = $check.ReadProblem
                Close-FolderHandle -Handle $check.Handle
            } elseif ($problem -eq '') {
                if ($Hold) {
                    Add-HeldFolder -Handle $check.Handle
                } else {
                    Close-FolderHandle -Handle $check.Handle
                }
                return $candidate
            }
        } catch {
            $problem = $_.Exception.Message
        }
    }
    throw ('no private folder could be made beside it: {0}' -f $problem)
}

# The result of Initialize-SecuredFolder: the folder to use, how it was found ("Created",
# "Verified", "Replaced" or "Fallback"), the log lines about what was set aside or removed
# (Notes) and, for a fallback, the warning that names the blocked folder ("" otherwise).
function New-SecuredFolderResult {
    param([string]$Path, [string]$Outcome, $Notes, [string]$Warning = '')
    return [pscustomobject]@{ Path = $Path; Outcome = $Outcome; Notes = $Notes.ToArray(); Warning = $Warning }
}

# Makes Path a folder that only administrators (and the system) can change, and with -Access
# Private one that nobody else may even read, its parent being secured (and held) already,
# and holds it until the run ends. A missing folder is created with its protection; a link
# there is removed as a link; a folder that others could have changed, or a file in the way,
# is set aside (see Get-SetAsidePath) and a new folder created; a private folder that others
# may read gets the private permissions in place. When Path is still not private after its
# rounds, or setting aside fails (another user's process holds the folder open), a fresh
# private folder beside it (New-PrivateFolder) is returned instead, with a warning saying
# which folder was blocked and why. Throws "The folder {0} could not be secured: {1}" only
# when not even that fresh folder can be made.
function Initialize-SecuredFolder {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [ValidateSet('Readable', 'Private')][string]$Access = 'Readable'
    )
    $outcome = 'Verified'
    $notes = New-Object System.Collections.Generic.List[string]
    $problem = ''
    try {
        for ($attempt = 1; $attempt -le $script:SecuredFolderAttempts; $attempt++) {
            $check = Open-CheckedFolder -Path $Path
            if ($check.Problem -eq 'it is a link') {
                Remove-FolderLink -Path $Path -Attributes $check.Attributes
                $notes.Add(('Removed the link at {0}; a new private folder takes its place.' -f $Path))
                $check = Open-CheckedFolder -Path $Path
            }
            if ($check.Problem -eq 'it does not exist') {
                New-FolderWithSecurity -Path $Path -Sddl (Get-SecuredFolderSddl -Access $Access)
                $outcome = 'Created'
                $check = Open-CheckedFolder -Path $Path
            }
            $problem = $check.Problem
            if ($problem -eq '' -and $Access -eq 'Private' -and $check.ReadProblem -ne '') {
                $problem = Protect-CheckedFolder -Path $Path -Check $check
                if ($problem -eq '') {
                    $notes.Add(('Made {0} private to administrators because {1}.' -f $Path, $check.ReadProblem))
                } else {
                    Close-FolderHandle -Handle $check.Handle
                }
            }
            if ($problem -eq '') {
                Add-HeldFolder -Handle $check.Handle
                if ($notes.Count -gt 0 -and $outcome -ne 'Verified') {
                    $outcome = 'Replaced'
                }
                return New-SecuredFolderResult -Path $Path -Outcome $outcome -Notes $notes
            }
            if ($problem -eq 'it does not exist' -or $problem -eq 'it is a link') {
                # Someone is racing this script; the next round starts over.
                continue
            }
            if ($attempt -eq $script:SecuredFolderAttempts) {
                # Give up without piling up one more set-aside copy.
                break
            }
            $aside = Get-SetAsidePath -Path $Path
            Move-FolderAside -Path $Path -Destination $aside
            $notes.Add(('Set aside {0} as {1} because {2}; a new private folder takes its place.' -f $Path, $aside, $problem))
        }
        $problem = ('it was still not private after {0} attempts: {1}' -f $script:SecuredFolderAttempts, $problem)
    } catch {
        $problem = $_.Exception.Message
    }
    try {
        $fallback = New-PrivateFolder -Stem $Path -Access $Access -Hold
    } catch {
        throw ('The folder {0} could not be secured: {1}; {2}' -f $Path, $problem, $_.Exception.Message)
    }
    $warning = $script:FallbackFolderFormat -f $Path, $problem, $fallback
    return New-SecuredFolderResult -Path $fallback -Outcome 'Fallback' -Notes $notes -Warning $warning
}
#endregion
